#include "feedstate/log_list.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "feedstate/feed_metrics.h"

namespace fh {

LogList::LogList(std::size_t capacity)
    : storage_(std::max<std::size_t>(capacity, 1) * kLineSize),
      lengths_(std::max<std::size_t>(capacity, 1)),
      capacity_(std::max<std::size_t>(capacity, 1)) {}

void LogList::LogLine(std::string_view text) {
  const std::size_t n = std::min(text.size(), kLineSize - 1);
  std::lock_guard lock(mutex_);
  const std::size_t slot = sequence_ % capacity_;
  std::memcpy(&storage_[slot * kLineSize], text.data(), n);
  lengths_[slot] = static_cast<std::uint16_t>(n);
  ++sequence_;
  if (lines_ != nullptr) lines_->Add();
  if (observer_) observer_(std::string_view(&storage_[slot * kLineSize], n));
}

void LogList::LogFormat(const char* format, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  LogLine(std::string_view(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1)));
}

std::size_t LogList::Size() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::min<std::uint64_t>(sequence_, capacity_));
}

std::string LogList::Line(std::size_t i) const {
  std::lock_guard lock(mutex_);
  if (i >= std::min<std::uint64_t>(sequence_, capacity_)) return {};
  const std::size_t slot = (sequence_ - 1 - i) % capacity_;
  return std::string(&storage_[slot * kLineSize], lengths_[slot]);
}

std::vector<std::string> LogList::Lines() const {
  std::lock_guard lock(mutex_);
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sequence_, capacity_));
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t slot = (sequence_ - 1 - i) % capacity_;
    out.emplace_back(&storage_[slot * kLineSize], lengths_[slot]);
  }
  return out;
}

std::uint64_t LogList::Sequence() const {
  std::lock_guard lock(mutex_);
  return sequence_;
}

void LogList::CountLinesIn(MetricCounter* counter) {
  std::lock_guard lock(mutex_);
  lines_ = counter;
}

void LogList::SetObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

}  // namespace fh
