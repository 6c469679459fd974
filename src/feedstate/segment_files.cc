#include "feedstate/segment_files.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "feedstate/feed_metrics.h"
#include "feedstate/log_list.h"

namespace fh {

SegmentFiles::~SegmentFiles() {
  for (Entry& e : entries_) {
    for (std::FILE*& f : e.files) {
      if (f != nullptr) std::fclose(f);
      f = nullptr;
    }
  }
}

bool SegmentFiles::Open(int seg, Slot slot, const std::string& path, const char* mode) {
  if (!Valid(seg, slot)) return false;
  Entry& e = entries_[seg];
  std::lock_guard lock(e.mutex);
  if (e.files[slot] != nullptr) std::fclose(e.files[slot]);
  e.failing[slot] = false;
  e.files[slot] = std::fopen(path.c_str(), mode);
  e.paths[slot] = e.files[slot] != nullptr ? path : std::string();
  e.pending[slot] = {};
  struct stat st {};
  if (e.files[slot] != nullptr && ::fstat(::fileno(e.files[slot]), &st) == 0) e.pending[slot].wholeEnd = st.st_size;
  return e.files[slot] != nullptr;
}

void SegmentFiles::Close(int seg, Slot slot) {
  if (!Valid(seg, slot)) return;
  Entry& e = entries_[seg];
  std::lock_guard lock(e.mutex);
  if (e.files[slot] != nullptr) std::fclose(e.files[slot]);
  e.files[slot] = nullptr;
  e.paths[slot].clear();
}

bool SegmentFiles::IsOpen(int seg, Slot slot) const {
  if (!Valid(seg, slot)) return false;
  const Entry& e = entries_[seg];
  std::lock_guard lock(e.mutex);
  return e.files[slot] != nullptr;
}

std::string SegmentFiles::Path(int seg, Slot slot) const {
  if (!Valid(seg, slot)) return {};
  const Entry& e = entries_[seg];
  std::lock_guard lock(e.mutex);
  return e.paths[slot];
}

bool SegmentFiles::WriteAndFlush(int seg, Slot slot, const void* data, std::size_t len) {
  return With(seg, slot, [&](std::FILE* f) {
    if (len > 0) std::fwrite(data, 1, len, f);
    std::fflush(f);
  });
}

void SegmentFiles::Append(int seg, Slot slot, const void* data, std::size_t len, LogList& log,
                          FeedMetrics* metrics) {
  if (!Valid(seg, slot) || len == 0) return;
  Entry& e = entries_[seg];
  std::lock_guard lock(e.mutex);
  if (e.files[slot] != nullptr && e.pending[slot].count == kMaxPendingRecords) FlushLocked(e, seg, slot, log, metrics);
  std::FILE* f = e.files[slot];
  if (f == nullptr) return;
  errno = 0;
  // Bytes taken into the stream's buffer prove nothing yet: the flush tells
  // whether they reached the file.
  if (std::fwrite(data, 1, len, f) != len) {
    const int error = errno;
    if (metrics != nullptr) metrics->Of(seg).recordingFailures.Add();
    CutBackToWholeRecords(e, seg, slot, 1, log, metrics);
    if (e.files[slot] != nullptr) Report(e, slot, false, error, log);
    return;
  }
  Pending& p = e.pending[slot];
  p.lengths[p.count++] = len;
  p.bytes += len;
}

void SegmentFiles::Flush(int seg, Slot slot, LogList& log, FeedMetrics* metrics) {
  if (!Valid(seg, slot)) return;
  Entry& e = entries_[seg];
  std::lock_guard lock(e.mutex);
  if (e.files[slot] != nullptr) FlushLocked(e, seg, slot, log, metrics);
}

void SegmentFiles::FlushLocked(Entry& e, int seg, Slot slot, LogList& log, FeedMetrics* metrics) {
  Pending& p = e.pending[slot];
  errno = 0;
  if (std::fflush(e.files[slot]) != 0) {
    const int error = errno;
    if (metrics != nullptr) metrics->Of(seg).recordingFailures.Add();
    CutBackToWholeRecords(e, seg, slot, 0, log, metrics);
    if (e.files[slot] != nullptr) Report(e, slot, false, error, log);
    return;
  }
  if (p.count == 0) return;  // nothing written proves nothing
  if (metrics != nullptr) metrics->Of(seg).recordedBytes.Add(p.bytes);
  p.wholeEnd += static_cast<long long>(p.bytes);
  p.count = 0;
  p.bytes = 0;
  Report(e, slot, true, 0, log);
}

void SegmentFiles::CutBackToWholeRecords(Entry& e, int seg, Slot slot, int lostToo, LogList& log,
                                         FeedMetrics* metrics) {
  std::FILE* f = e.files[slot];
  Pending& p = e.pending[slot];
  // What the stream still holds must never reach the file now.
  __fpurge(f);
  std::clearerr(f);
  const int fd = ::fileno(f);
  struct stat st {};
  const long long size = ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : p.wholeEnd;
  // The pending records were written in order from wholeEnd on: those that
  // lie wholly below the file's size are whole records.
  std::size_t whole = 0;
  int kept = 0;
  while (kept < p.count && p.wholeEnd + static_cast<long long>(whole + p.lengths[kept]) <= size)
    whole += p.lengths[kept++];
  p.wholeEnd += static_cast<long long>(whole);
  const bool cut = size == p.wholeEnd || ::ftruncate(fd, static_cast<off_t>(p.wholeEnd)) == 0;
  const int error = errno;
  (void)::fseeko(f, static_cast<off_t>(p.wholeEnd), SEEK_SET);
  if (metrics != nullptr) {
    FeedMetrics::Segment& figures = metrics->Of(seg);
    if (whole != 0) figures.recordedBytes.Add(whole);
    const int lost = p.count - kept + lostToo;
    figures.recordingLost.Add(static_cast<std::uint64_t>(lost));
  }
  p.count = 0;
  p.bytes = 0;
  if (cut) return;
  // A torn record that stays would misalign every later one: record no more
  // into this file.
  log.LogFormat("Recording into %s stopped: a torn record could not be cut off: %s", e.paths[slot].c_str(),
                strerrordesc_np(error != 0 ? error : EIO));
  std::fclose(f);
  e.files[slot] = nullptr;
  e.paths[slot].clear();
}

void SegmentFiles::Report(Entry& e, Slot slot, bool ok, int error, LogList& log) {
  if (ok == !e.failing[slot]) return;
  e.failing[slot] = !ok;
  if (ok) {
    log.LogFormat("Writing %s works again", e.paths[slot].c_str());
  } else {
    log.LogFormat("Writing %s failed: %s", e.paths[slot].c_str(), strerrordesc_np(error != 0 ? error : EIO));
  }
}

}  // namespace fh
