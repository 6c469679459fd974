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

}  // namespace

BridgeSendQueue::BridgeSendQueue(std::shared_ptr<BridgeConnection> connection, FailureHandler onFailure,
                                 std::size_t capacity)
    : connection_(std::move(connection)),
      onFailure_(std::move(onFailure)),
      capacity_(std::max<std::size_t>(capacity, 1)),
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
  for (int i = 0; i < count; ++i) total += static_cast<std::size_t>(std::max(packets[i].length, 0));
  if (total == 0) return AppendResult::kQueued;  // nothing to send

  std::unique_lock lock(mutex_);
  if (state_ != State::kOpen) return AppendResult::kClosed;
  std::size_t sent = 0;
  if (head_ == tail_ && senderIdle_) {
    // Nothing waits and the sender sleeps: hand the bytes to the socket at
    // once (a thread hand-off costs more than the send), never waiting for
    // room. What the socket does not take is queued; a failed send leaves it
    // all to the sender, which reports the failure as usual.
    const ssize_t n = ::send(connection_->Fd(), bytes, total, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent = static_cast<std::size_t>(n);
  }
  // Packets wholly taken by the socket leave no mark; the first one it took
  // only part of becomes the head with its sent bytes.
  std::size_t offset = 0;
  int i = 0;
  for (; i < count; ++i) {
    const auto size = static_cast<std::size_t>(std::max(packets[i].length, 0));
    if (offset + size > sent) break;
    offset += size;
  }
  out.taken = i;
  const std::uint64_t tailBefore = tail_;
  const AppendResult result = QueueLocked(bytes, packets, count, offset, sent, out);
  out.queued = static_cast<std::size_t>(tail_ - head_);
  // The sender is woken only for bytes to write or a failure to see: a run
  // the socket took whole leaves it asleep.
  const bool wake = (senderIdle_ && tail_ != tailBefore) || result == AppendResult::kOverflow;
  lock.unlock();
  if (wake) wake_.notify_one();
  return result;
}

BridgeSendQueue::AppendResult BridgeSendQueue::QueueLocked(const std::uint8_t* bytes, const QueuedPacket* packets,
                                                           int count, std::size_t offset, std::size_t sent,
                                                           Appended& out) {
  for (int i = out.taken; i < count; ++i) {
    const QueuedPacket& p = packets[i];
    if (p.length < 1) {
      ++out.taken;
      continue;
    }
    const auto size = static_cast<std::size_t>(p.length);
    const std::size_t already = sent > offset ? sent - offset : 0;  // only the first queued one
    const std::size_t rest = size - already;
    if (tail_ - head_ + rest > capacity_ || markTail_ - markHead_ == markCapacity_) {
      state_ = State::kFailed;
      return AppendResult::kOverflow;
    }
    if (already > 0) headSent_ = static_cast<std::int64_t>(already);  // the queue was empty: it is the head
    const std::size_t at = tail_ % capacity_;
    const std::size_t first = std::min(rest, capacity_ - at);
    std::memcpy(&ring_[at], bytes + offset + already, first);
    std::memcpy(&ring_[0], bytes + offset + already + first, rest - first);
    marks_[markTail_ % markCapacity_] = PacketMark{p.length, p.segment};
    ++markTail_;
    tail_ += rest;
    offset += size;
    ++out.taken;
  }
  return AppendResult::kQueued;
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
    if (head_ == tail_) {
      if (state_ == State::kClosing) break;
      senderIdle_ = true;
      wake_.wait(lock, [this] { return head_ != tail_ || state_ != State::kOpen; });
      senderIdle_ = false;
      lastProgress = Clock::now();
      continue;
    }
    // Bytes between head and tail are not touched by appenders: send them
    // without the lock.
    const std::uint64_t head = head_;
    const std::uint64_t tail = tail_;
    lock.unlock();

    const std::size_t at = head % capacity_;
    const std::size_t pending = tail - head;
    const std::size_t first = std::min(pending, capacity_ - at);
    iovec pieces[2] = {{&ring_[at], first}, {&ring_[0], pending - first}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = pending > first ? 2 : 1;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    const int err = errno;

    if (n > 0) {
      lock.lock();
      head_ += static_cast<std::uint64_t>(n);
      std::int64_t taken = n;
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
      lastProgress = Clock::now();
      continue;
    }
    const Clock::time_point now = Clock::now();
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
      lock.lock();
      Fail(lock, false);
      break;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(lastProgress + kBridgeSendTimeout - now);
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
