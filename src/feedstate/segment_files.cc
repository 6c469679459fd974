#include "feedstate/segment_files.h"

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

}  // namespace fh
