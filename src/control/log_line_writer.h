// LogLineWriter: the log lines of the headless front end on their way to
// standard output, so that no logging thread ever waits for the reader of
// that output.
//
// Push copies a line into a fixed ring of 512-byte slots (nothing is
// allocated per line) and returns; a writer thread takes the lines out and
// writes them, one output line each: line ends at the end dropped, every
// other control byte (a binary net id formatted with "%c") shown as a blank.
// When the ring is full the line is not kept but counted, and the output says
// "<count> log lines not shown" where the lost lines would have stood: before
// the next line that found room, or on its own once the writer has caught up.
//
// Lines reach the output at most kGather after they were pushed (Drain and
// Stop do not wait for that). The writer waits for its descriptor to take
// more before each write of at
// most PIPE_BUF bytes, so a reader that stops reading stalls the writer only,
// and Stop or Drain give up after their time limit.
//
// Thread safety: Push, Drain and NotShown may be called from any thread,
// concurrently. Start and Stop belong to the thread that owns the writer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "feedstate/feed_metrics.h"
#include "feedstate/log_list.h"

namespace fh {

class LogLineWriter {
 public:
  static constexpr std::size_t kDefaultCapacity = 2048;  // lines, 1 MiB of slots
  static constexpr std::chrono::milliseconds kDefaultFlushLimit{1000};
  // Once a line has come, the writer lets more gather this long (or until the
  // ring is half full) before it writes: a thread that logs thousands of lines
  // a second then wakes it a few hundred times, not once a line.
  static constexpr std::chrono::milliseconds kGather{5};

  // Writes to fd; stream, when given, is the stdio stream over the same
  // descriptor, locked around each write so that its own output and these
  // lines never interleave within a line.
  explicit LogLineWriter(int fd, std::FILE* stream = nullptr, std::size_t capacity = kDefaultCapacity);
  ~LogLineWriter();  // Stop(kDefaultFlushLimit)
  LogLineWriter(const LogLineWriter&) = delete;
  LogLineWriter& operator=(const LogLineWriter&) = delete;

  // Starts the writer thread. Lines pushed before wait for it.
  void Start();
  // Queues one log line (cut at 511 bytes), or counts it when the ring is full.
  void Push(std::string_view line);
  // Waits until everything queued so far is written, at most limit. False
  // when the limit passed first.
  bool Drain(std::chrono::milliseconds limit);
  // Writes what is queued, for at most limit, then ends the writer thread.
  // Whatever is left is dropped. Idempotent.
  void Stop(std::chrono::milliseconds limit);

  // Lines counted as not shown so far.
  std::uint64_t NotShown() const;
  // From now on every line not shown also adds 1 to counter (none: nullptr),
  // as do the lines given up when the output failed. The counter must outlive
  // its use here.
  void CountNotShownIn(MetricCounter* counter);

 private:
  static constexpr std::size_t kLineSize = LogList::kLineSize;

  bool HasOutputLocked() const { return count_ > 0 || pendingNotShown_ > 0; }
  // Moves whole output lines into out, at most size bytes; the count of bytes.
  std::size_t TakeLocked(char* out, std::size_t size);
  // Writes all of data; false when it gave up at the stop deadline or the
  // descriptor failed.
  bool WriteAll(const char* data, std::size_t size);
  void Run();

  const int fd_;
  std::FILE* const stream_;
  const std::size_t capacity_;
  int wakeFd_ = -1;  // readable once Stop was called, to end a wait for the descriptor

  mutable std::mutex mutex_;
  std::condition_variable moreLines_;   // the writer waits for lines or Stop
  std::condition_variable progress_;    // Drain waits for the writer
  std::vector<char> slots_;             // capacity_ lines of kLineSize bytes
  struct SlotInfo {
    std::uint16_t length;
    std::uint64_t notShownBefore;  // lines lost just before this one
  };
  std::vector<SlotInfo> info_;
  std::size_t head_ = 0;   // oldest queued line
  std::size_t count_ = 0;  // queued lines
  std::uint64_t pendingNotShown_ = 0;  // lost since the last line that found room
  std::uint64_t notShown_ = 0;
  MetricCounter* notShownFigure_ = nullptr;
  bool writing_ = false;  // the writer holds lines taken out of the ring
  bool writerWaiting_ = false;
  bool gathering_ = false;  // the writer lets lines gather before it writes
  int draining_ = 0;        // Drain calls waiting
  bool running_ = false;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::thread thread_;
};

}  // namespace fh
