#include "distribution/bridge_send_queue.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "distribution/forwarded_packet.h"

namespace fh {
namespace {

// How long the sender sleeps at most while the socket is full, so that Stop
// is seen promptly.
constexpr std::chrono::milliseconds kPollSlice{50};
// How many times an appender that sent its run directly also writes the runs
// queued behind it before it leaves them to the sender.
constexpr int kDrainRounds = 4;

}  // namespace

BridgeSendQueue::BridgeSendQueue(std::shared_ptr<BridgeConnection> connection, FailureHandler onFailure,
                                 std::size_t capacity, std::chrono::milliseconds sendTimeout)
    : connection_(std::move(connection)),
      onFailure_(std::move(onFailure)),
      capacity_(std::max<std::size_t>(capacity, 1)),
      sendTimeout_(sendTimeout),
      // Packets built by the decoders are never shorter than their header, so
      // the byte bound is reached before the packet marks run out.
      markCapacity_(capacity_ / forwarded::kHeaderSize + 1),
      ring_(new std::uint8_t[capacity_]),
      marks_(new PacketMark[markCapacity_]) {
  sender_ = std::thread([this] { Run(); });
}

BridgeSendQueue::~BridgeSendQueue() {
  Stop();
  if (sender_.joinable()) sender_.join();
}

BridgeSendQueue::AppendResult BridgeSendQueue::Append(const std::uint8_t* bytes, const QueuedPacket* packets, int count,
                                                      Appended* done) {
  Appended scratch;
  Appended& out = done != nullptr ? *done : scratch;
  out = Appended{};
  std::size_t total = 0;
  std::size_t marks = 0;
  for (int i = 0; i < count; ++i) {
    if (packets[i].length < 1) continue;
    total += static_cast<std::size_t>(packets[i].length);
    ++marks;
  }
  if (total == 0) {  // nothing to send
    out.taken = count;
    return AppendResult::kQueued;
  }

  std::unique_lock lock(mutex_);
  if (state_ != State::kOpen) return AppendResult::kClosed;
  if (head_ != tail_ || !senderIdle_ || directSending_ || total > capacity_ || marks > markCapacity_) {
    const std::uint64_t tailBefore = tail_;
    const AppendResult result = QueueLocked(bytes, packets, count, out);
    out.queued = static_cast<std::size_t>(tail_ - head_);
    // The sender is woken only for bytes it may write or a failure to see;
    // while an appender sends directly, that appender wakes it.
    const bool wake = (senderIdle_ && !directSending_ && tail_ != tailBefore) || result == AppendResult::kOverflow;
    lock.unlock();
    if (wake) wake_.notify_one();
    return result;
  }

  // Nothing waits and the sender sleeps: hand the run to the socket at once
  // (a thread hand-off costs more than the send), never waiting for room. Its
  // place at the tail is claimed first; runs appended during the send queue
  // behind it, and the sender leaves the socket alone until the claim ends.
  const std::uint64_t at = tail_;
  tail_ += total;
  MarkLocked(packets, count);
  directSending_ = true;
  lock.unlock();

  const ssize_t n = ::send(connection_->Fd(), bytes, total, MSG_NOSIGNAL | MSG_DONTWAIT);
  // A failed send leaves it all to the sender, which reports the failure as usual.
  std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
  // The claimed place is this thread's alone until the claim ends.
  CopyIn(at + sent, bytes + sent, total - sent);

  lock.lock();
  ConsumeLocked(sent);
  // Runs appended during the send queued behind it. While the socket takes
  // everything at once, this thread writes those too, a few rounds at most:
  // a Bridge that keeps up never waits for the sender's wake-up.
  std::size_t wanted = total;
  for (int round = 0; round < kDrainRounds && sent == wanted && state_ == State::kOpen && head_ != tail_; ++round) {
    const std::uint64_t head = head_;
    const std::uint64_t tail = tail_;
    lock.unlock();
    const ssize_t m = SendQueued(connection_->Fd(), head, tail);
    lock.lock();
    wanted = static_cast<std::size_t>(tail - head);
    sent = m > 0 ? static_cast<std::size_t>(m) : 0;  // a failure is the sender's to find and report
    ConsumeLocked(sent);
  }
  directSending_ = false;
  out.taken = count;
  out.queued = static_cast<std::size_t>(tail_ - head_);
  // The sender slept through the send: it writes what the socket left and
  // what others queued meanwhile, or sees a state change it missed.
  const bool wake = senderIdle_ && (head_ != tail_ || state_ != State::kOpen);
  lock.unlock();
  if (wake) wake_.notify_one();
  return AppendResult::kQueued;
}

BridgeSendQueue::AppendResult BridgeSendQueue::QueueLocked(const std::uint8_t* bytes, const QueuedPacket* packets,
                                                           int count, Appended& out) {
  std::size_t fit = 0;
  std::uint64_t markRoom = markCapacity_ - (markTail_ - markHead_);
  int i = 0;
  for (; i < count; ++i) {
    if (packets[i].length < 1) continue;
    const auto size = static_cast<std::size_t>(packets[i].length);
    if (tail_ - head_ + fit + size > capacity_ || markRoom == 0) break;
    fit += size;
    --markRoom;
  }
  CopyIn(tail_, bytes, fit);
  MarkLocked(packets, i);
  tail_ += fit;
  out.taken = i;
  if (i == count) return AppendResult::kQueued;
  state_ = State::kFailed;
  return AppendResult::kOverflow;
}

void BridgeSendQueue::CopyIn(std::uint64_t at, const std::uint8_t* src, std::size_t n) {
  if (n == 0) return;
  const std::size_t from = at % capacity_;
  const std::size_t first = std::min(n, capacity_ - from);
  std::memcpy(&ring_[from], src, first);
  std::memcpy(&ring_[0], src + first, n - first);
}

void BridgeSendQueue::MarkLocked(const QueuedPacket* packets, int count) {
  for (int i = 0; i < count; ++i) {
    if (packets[i].length < 1) continue;
    marks_[markTail_ % markCapacity_] = PacketMark{packets[i].length, packets[i].segment};
    ++markTail_;
  }
}

void BridgeSendQueue::ConsumeLocked(std::size_t n) {
  head_ += n;
  auto taken = static_cast<std::int64_t>(n);
  while (taken > 0 && markHead_ != markTail_) {
    const std::int64_t rest = marks_[markHead_ % markCapacity_].length - headSent_;
    if (taken < rest) {
      headSent_ += taken;
      break;
    }
    taken -= rest;
    headSent_ = 0;
    ++markHead_;
  }
}

ssize_t BridgeSendQueue::SendQueued(int fd, std::uint64_t head, std::uint64_t tail) {
  const std::size_t at = head % capacity_;
  const std::size_t pending = tail - head;
  const std::size_t first = std::min(pending, capacity_ - at);
  iovec pieces[2] = {{&ring_[at], first}, {&ring_[0], pending - first}};
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = pending > first ? 2 : 1;
  return ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool BridgeSendQueue::SenderHasWorkLocked() const {
  if (state_ == State::kFailed || state_ == State::kStopped) return true;
  return !directSending_ && (head_ != tail_ || state_ == State::kClosing);
}

void BridgeSendQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::kOpen) state_ = State::kClosing;
  }
  wake_.notify_one();
}

void BridgeSendQueue::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::kOpen || state_ == State::kClosing) state_ = State::kStopped;
  }
  wake_.notify_one();
}

bool BridgeSendQueue::Finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool BridgeSendQueue::Idle() const {
  std::lock_guard lock(mutex_);
  return state_ == State::kOpen && head_ == tail_ && senderIdle_ && !directSending_;
}

void BridgeSendQueue::Fail(std::unique_lock<std::mutex>& lock, bool slow) {
  if (state_ == State::kFailed || state_ == State::kStopped) return;
  state_ = State::kFailed;
  Failure failure{0, -1, 0};
  if (markHead_ != markTail_) {
    const PacketMark& m = marks_[markHead_ % markCapacity_];
    failure = Failure{m.segment, headSent_ > 0 ? static_cast<int>(headSent_) : -1, m.length, slow};
  }
  lock.unlock();
  if (onFailure_) onFailure_(failure);
  lock.lock();
}

void BridgeSendQueue::Run() {
  const int fd = connection_->Fd();
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(mutex_);
  Clock::time_point lastProgress = Clock::now();
  for (;;) {
    if (state_ == State::kFailed || state_ == State::kStopped) break;
    if (!SenderHasWorkLocked()) {
      senderIdle_ = true;
      wake_.wait(lock, [this] { return SenderHasWorkLocked(); });
      senderIdle_ = false;
      lastProgress = Clock::now();
      continue;
    }
    if (head_ == tail_) break;  // closing, and all written
    // Bytes between head and tail are not touched by appenders: send them
    // without the lock.
    const std::uint64_t head = head_;
    const std::uint64_t tail = tail_;
    lock.unlock();

    const ssize_t n = SendQueued(fd, head, tail);
    const int err = errno;

    if (n > 0) {
      lock.lock();
      ConsumeLocked(static_cast<std::size_t>(n));
      lastProgress = Clock::now();  // a Bridge that reads, however slowly, keeps its time
      continue;
    }
    const Clock::time_point now = Clock::now();
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
      lock.lock();
      Fail(lock, false);
      break;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(lastProgress + sendTimeout_ - now);
    if (left.count() <= 0) {
      lock.lock();
      Fail(lock, true);
      break;
    }
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(std::min(left, kPollSlice).count()));
    lock.lock();
  }
  finished_ = true;
}

}  // namespace fh
