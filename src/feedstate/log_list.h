// The operator's log list: newest line first.
//
// Thread safety: every member may be called from any thread. LogLine copies
// the text into a preallocated ring of fixed-size lines, so logging from a
// receiver thread allocates nothing. The list keeps the newest `capacity`
// lines; older ones fall off the end so an all-day run cannot grow without
// bound. An observer (a front end) is told of every line, in order, on the
// logging thread, while the list's lock is held: it must only hand the line
// on (copy it into a queue), never wait or do I/O, and must not call back
// into the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace fh {

class MetricCounter;

class LogList {
 public:
  static constexpr std::size_t kLineSize = 512;  // callers format into 512-byte buffers
  static constexpr std::size_t kDefaultCapacity = 10000;

  explicit LogList(std::size_t capacity = kDefaultCapacity);

  // Inserts text as line 0, bytes as they are (a "%c" of a binary net id may
  // put any byte in a line; front ends show control bytes as blanks). Text
  // longer than 511 bytes is cut.
  void LogLine(std::string_view text);
  // printf-style convenience: formats into a 512-byte buffer, then LogLine.
  void LogFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::size_t Size() const;
  // Line i, 0 being the newest; empty when i >= Size().
  std::string Line(std::size_t i) const;
  // All kept lines, newest first.
  std::vector<std::string> Lines() const;
  // Number of lines ever logged; a front end polls it to see new lines.
  std::uint64_t Sequence() const;

  using Observer = std::function<void(std::string_view line)>;
  void SetObserver(Observer observer);
  // Every line logged from now on also adds 1 to counter (none: nullptr). The
  // counter must outlive its use here.
  void CountLinesIn(MetricCounter* counter);

 private:
  mutable std::mutex mutex_;
  std::vector<char> storage_;  // capacity_ lines of kLineSize bytes
  std::vector<std::uint16_t> lengths_;
  std::size_t capacity_;
  std::uint64_t sequence_ = 0;  // lines ever logged; newest is at (sequence_-1) % capacity_
  Observer observer_;
  MetricCounter* lines_ = nullptr;
};

}  // namespace fh
