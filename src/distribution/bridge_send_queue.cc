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

BridgeSendQueue::AppendResult BridgeSendQueue::Append(int segment, const std::uint8_t* packet, int length) {
  const auto size = static_cast<std::size_t>(length);
  if (length < 1) return AppendResult::kQueued;  // nothing to send
  std::unique_lock lock(mutex_);
  if (state_ != State::kOpen) return AppendResult::kClosed;
  if (tail_ - head_ + size > capacity_ || markTail_ - markHead_ == markCapacity_) {
    state_ = State::kFailed;
    lock.unlock();
    wake_.notify_one();
    return AppendResult::kOverflow;
  }
  std::size_t sent = 0;
  if (head_ == tail_ && senderIdle_) {
    // Nothing waits and the sender sleeps: hand the packet to the socket at
    // once (a thread hand-off costs more than the send), never waiting for
    // room. What the socket does not take is queued; a failed send leaves it
    // all to the sender, which reports the failure as usual.
    const ssize_t n = ::send(connection_->Fd(), packet, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == length) return AppendResult::kQueued;
    if (n > 0) {
      sent = static_cast<std::size_t>(n);
      headSent_ = n;  // the queue was empty: this packet becomes its head
    }
  }
  const std::size_t rest = size - sent;
  const std::size_t at = tail_ % capacity_;
  const std::size_t first = std::min(rest, capacity_ - at);
  std::memcpy(&ring_[at], packet + sent, first);
  std::memcpy(&ring_[0], packet + sent + first, rest - first);
  marks_[markTail_ % markCapacity_] = PacketMark{length, segment};
  ++markTail_;
  tail_ += rest;
  const bool wake = senderIdle_;
  lock.unlock();
  if (wake) wake_.notify_one();
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

void BridgeSendQueue::Fail(std::unique_lock<std::mutex>& lock) {
  if (state_ == State::kFailed || state_ == State::kStopped) return;
  state_ = State::kFailed;
  Failure failure{0, -1, 0};
  if (markHead_ != markTail_) {
    const PacketMark& m = marks_[markHead_ % markCapacity_];
    failure = Failure{m.segment, headSent_ > 0 ? static_cast<int>(headSent_) : -1, m.length};
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
      Fail(lock);
      break;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(lastProgress + kBridgeSendTimeout - now);
    if (left.count() <= 0) {
      lock.lock();
      Fail(lock);
      break;
    }
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(std::min(left, kPollSlice).count()));
    lock.lock();
  }
  finished_ = true;
}

}  // namespace fh
