#include "control/log_line_writer.h"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fh {
namespace {

// One write of at most PIPE_BUF bytes to a pipe that polls writable does not
// block.
constexpr std::size_t kBatchSize = PIPE_BUF;
static_assert(kBatchSize >= LogList::kLineSize + 1, "a whole line fits one write");

}  // namespace

LogLineWriter::LogLineWriter(int fd, std::FILE* stream, std::size_t capacity)
    : fd_(fd),
      stream_(stream),
      capacity_(std::max<std::size_t>(capacity, 1)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      slots_(capacity_ * kLineSize),
      info_(capacity_) {}

LogLineWriter::~LogLineWriter() {
  Stop(kDefaultFlushLimit);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void LogLineWriter::Start() {
  std::lock_guard lock(mutex_);
  if (running_ || stopping_) return;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void LogLineWriter::Push(std::string_view line) {
  const std::size_t n = std::min(line.size(), kLineSize - 1);
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (count_ == capacity_) {
      ++pendingNotShown_;
      ++notShown_;
      if (notShownFigure_ != nullptr) notShownFigure_->Add();
      return;
    }
    const std::size_t slot = (head_ + count_) % capacity_;
    std::memcpy(&slots_[slot * kLineSize], line.data(), n);
    info_[slot] = {static_cast<std::uint16_t>(n), pendingNotShown_};
    pendingNotShown_ = 0;
    ++count_;
    wake = writerWaiting_ && (!gathering_ || count_ >= capacity_ / 2);
  }
  if (wake) moreLines_.notify_one();
}

void LogLineWriter::CountNotShownIn(MetricCounter* counter) {
  std::lock_guard lock(mutex_);
  notShownFigure_ = counter;
}

std::uint64_t LogLineWriter::NotShown() const {
  std::lock_guard lock(mutex_);
  return notShown_;
}

std::size_t LogLineWriter::TakeLocked(char* out, std::size_t size) {
  std::size_t used = 0;
  auto notice = [&](std::uint64_t lost) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%llu log lines not shown\n", static_cast<unsigned long long>(lost));
    std::memcpy(out + used, text, static_cast<std::size_t>(n));
    used += static_cast<std::size_t>(n);
  };
  while (count_ > 0) {
    const SlotInfo& info = info_[head_];
    if (used + 48 + info.length + 1 > size) break;
    if (info.notShownBefore > 0) notice(info.notShownBefore);
    std::string_view line(&slots_[head_ * kLineSize], info.length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    for (char c : line) out[used++] = static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    out[used++] = '\n';
    head_ = (head_ + 1) % capacity_;
    --count_;
  }
  // Caught up: the lines lost since the last one that found room.
  if (count_ == 0 && pendingNotShown_ > 0 && used + 48 <= size) {
    notice(pendingNotShown_);
    pendingNotShown_ = 0;
  }
  return used;
}

bool LogLineWriter::WriteAll(const char* data, std::size_t size) {
  while (size > 0) {
    bool stopping;
    std::chrono::steady_clock::time_point deadline;
    {
      std::lock_guard lock(mutex_);
      stopping = stopping_;
      deadline = deadline_;
    }
    int timeout = -1;
    if (stopping) {
      using std::chrono::milliseconds;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      timeout = static_cast<int>(left.count());
    }
    // While running, Stop's wake ends the wait; once stopping, the deadline does.
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {stopping ? -1 : wakeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0 || fds[0].revents == 0) continue;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return false;
    if (stream_ != nullptr) flockfile(stream_);
    const ssize_t n = ::write(fd_, data, size);
    if (stream_ != nullptr) funlockfile(stream_);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void LogLineWriter::Run() {
  char batch[kBatchSize];
  for (;;) {
    std::size_t n = 0;
    {
      std::unique_lock lock(mutex_);
      while (!stopping_ && !HasOutputLocked()) {
        writerWaiting_ = true;
        moreLines_.wait(lock);
        writerWaiting_ = false;
      }
      if (!stopping_ && !draining_ && count_ < capacity_ / 2) {
        writerWaiting_ = gathering_ = true;
        moreLines_.wait_for(lock, kGather);
        writerWaiting_ = gathering_ = false;
      }
      if (!HasOutputLocked()) break;  // stopping, and everything is out
      n = TakeLocked(batch, sizeof batch);
      writing_ = true;
    }
    const bool written = WriteAll(batch, n);
    std::lock_guard lock(mutex_);
    writing_ = false;
    progress_.notify_all();
    if (!written) {
      // The descriptor failed or the stop deadline passed: the rest is lost.
      if (notShownFigure_ != nullptr) notShownFigure_->Add(count_);
      count_ = 0;
      pendingNotShown_ = 0;
      if (stopping_) break;
    }
  }
  std::lock_guard lock(mutex_);
  running_ = false;
  progress_.notify_all();
}

bool LogLineWriter::Drain(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  ++draining_;  // no gathering while someone waits for the output
  moreLines_.notify_one();
  const bool drained =
      progress_.wait_for(lock, limit, [this] { return !running_ || (!HasOutputLocked() && !writing_); }) &&
      !HasOutputLocked();
  --draining_;
  return drained;
}

void LogLineWriter::Stop(std::chrono::milliseconds limit) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    deadline_ = std::chrono::steady_clock::now() + limit;
  }
  moreLines_.notify_one();
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
}

}  // namespace fh
