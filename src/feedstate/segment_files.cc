#include "feedstate/segment_files.h"

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
  std::FILE* f = e.files[slot];
  if (f == nullptr) return;
  errno = 0;
  // Bytes taken into the stream's buffer prove nothing yet: only a failure
  // counts here, and the flush tells whether writing works.
  if (std::fwrite(data, 1, len, f) != len) {
    if (metrics != nullptr) metrics->Of(seg).recordingFailures.Add();
    Report(e, slot, false, errno, log);
  } else if (metrics != nullptr) {
    metrics->Of(seg).recordedBytes.Add(len);
  }
}

void SegmentFiles::Flush(int seg, Slot slot, LogList& log, FeedMetrics* metrics) {
  if (!Valid(seg, slot)) return;
  Entry& e = entries_[seg];
  std::lock_guard lock(e.mutex);
  std::FILE* f = e.files[slot];
  if (f == nullptr) return;
  errno = 0;
  const bool ok = std::fflush(f) == 0;
  if (!ok && metrics != nullptr) metrics->Of(seg).recordingFailures.Add();
  Report(e, slot, ok, errno, log);
}

void SegmentFiles::Report(Entry& e, Slot slot, bool ok, int error, LogList& log) {
  if (!ok) std::clearerr(e.files[slot]);  // so that a later write can tell it works again
  if (ok == !e.failing[slot]) return;
  e.failing[slot] = !ok;
  if (ok) {
    log.LogFormat("Writing %s works again", e.paths[slot].c_str());
  } else {
    log.LogFormat("Writing %s failed: %s", e.paths[slot].c_str(), strerrordesc_np(error != 0 ? error : EIO));
  }
}

}  // namespace fh
