// The per-segment table of open files, indexed by ExgSeg.
//
// Each entry holds the recording file (binFile), the replay input, the BPACK
// output file and the BPACK counter file. The recording and the replay input
// have handles of their own, so a file opened for replay never receives
// recording writes.
//
// Thread safety: every member may be called from any thread. Each entry has
// its own lock, taken by the user-interface thread when it replaces a handle
// and by a receiver thread for one write-and-flush, so a handle is never used
// after it was closed. Handles stay open until Close or destruction.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

namespace fh {

class FeedMetrics;
class LogList;

class SegmentFiles {
 public:
  static constexpr int kEntries = 10;  // indexed by ExgSeg; 0..4 used

  enum Slot : int { kBinFile = 0, kBpackFile = 1, kBpackCounterFile = 2, kReplayFile = 3, kSlots = 4 };

  SegmentFiles() = default;
  ~SegmentFiles();
  SegmentFiles(const SegmentFiles&) = delete;
  SegmentFiles& operator=(const SegmentFiles&) = delete;

  // Closes what the slot held, then opens path with mode. False when seg or
  // slot is out of range or the open failed; the slot is then empty.
  bool Open(int seg, Slot slot, const std::string& path, const char* mode);
  void Close(int seg, Slot slot);
  bool IsOpen(int seg, Slot slot) const;
  // The path last opened in the slot ("" when empty).
  std::string Path(int seg, Slot slot) const;

  // Writes len bytes and flushes, when the slot is open. False when it is not.
  bool WriteAndFlush(int seg, Slot slot, const void* data, std::size_t len);

  // The recording's road: Append buffers one record (a datagram), Flush hands
  // the buffered records to the system (a receiver flushes once per batch of
  // datagrams; Append flushes by itself after kMaxPendingRecords). Both do
  // nothing on an empty slot. A slot written this way is written only so.
  //
  // Records carry no length, so a recording must only ever hold whole ones.
  // When a write or a flush fails (a full disk, a file size limit), whatever
  // part of a record reached the file is cut off again (ftruncate back to the
  // end of the last whole record, and the stream is set there), the records
  // that did not reach the file whole are lost, and the stream drops what it
  // still buffers (should the cut itself fail, the slot is closed: one line
  // says so). One line says that writing failed, with the system's error,
  // and one line says when a record reached the file again; nothing is logged
  // while it keeps failing or keeps working.
  //
  // With metrics, the segment's recordedBytes grow by the bytes of the records
  // that reached the file (once a flush proves it), its recordingLost by each
  // record lost, and its recordingFailures by each write or flush that failed.
  void Append(int seg, Slot slot, const void* data, std::size_t len, LogList& log, FeedMetrics* metrics = nullptr);
  void Flush(int seg, Slot slot, LogList& log, FeedMetrics* metrics = nullptr);

  // Records Append holds at most before it flushes by itself: a receiver's
  // batch.
  static constexpr int kMaxPendingRecords = 64;

  // Runs fn(FILE*) under the entry's lock when the slot is open; false if not.
  template <class Fn>
  bool With(int seg, Slot slot, Fn&& fn) {
    if (!Valid(seg, slot)) return false;
    Entry& e = entries_[seg];
    std::lock_guard lock(e.mutex);
    if (e.files[slot] == nullptr) return false;
    fn(e.files[slot]);
    return true;
  }

 private:
  static bool Valid(int seg, Slot slot) {
    return seg >= 0 && seg < kEntries && slot >= 0 && slot < kSlots;
  }

  // What a slot written through Append holds beyond its whole records: the
  // records appended since the last flush that worked, not yet known to be in
  // the file.
  struct Pending {
    long long wholeEnd = 0;  // the file's size up to the end of its last whole record
    std::size_t lengths[kMaxPendingRecords] = {};
    int count = 0;
    std::size_t bytes = 0;
  };

  struct Entry {
    mutable std::mutex mutex;
    std::FILE* files[kSlots] = {};
    std::string paths[kSlots];
    bool failing[kSlots] = {};
    Pending pending[kSlots];
  };
  // The rest under the entry's lock, on an open slot.
  void FlushLocked(Entry& e, int seg, Slot slot, LogList& log, FeedMetrics* metrics);
  // After a failed write or flush: counts the pending records that reached
  // the file whole, cuts off what followed them and drops what the stream
  // buffers; the other pending records and lostToo more are lost. When the
  // cut itself fails, the slot is closed with one line.
  static void CutBackToWholeRecords(Entry& e, int seg, Slot slot, int lostToo, LogList& log, FeedMetrics* metrics);
  // Logs a change between working and failing writes.
  static void Report(Entry& e, Slot slot, bool ok, int error, LogList& log);
  Entry entries_[kEntries];
};

}  // namespace fh
