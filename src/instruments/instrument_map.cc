#include "instruments/instrument_map.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

namespace fh {

InstrumentMap::InstrumentMap() : map_(kRequestedSize, &ShiftAddHash) {}

std::size_t InstrumentMap::FormatKey(char* out, std::int32_t segment, std::int32_t token) {
  char* p = std::to_chars(out, out + 11, segment).ptr;
  *p++ = ',';
  p = std::to_chars(p, p + 11, token).ptr;
  *p = '\0';
  return static_cast<std::size_t>(p - out);
}

InstrumentRecord* InstrumentMap::NewRecordLocked(std::int32_t token, std::string_view name) {
  InstrumentRecord& r = records_.emplace_back();
  r.token = token;
  const std::size_t n = std::min(name.size(), sizeof r.name - 1);
  if (n > 0) std::memcpy(r.name, name.data(), n);
  r.name[n] = '\0';
  return &r;
}

InstrumentRecord* InstrumentMap::NewRecord(std::int32_t token, std::string_view name) {
  std::lock_guard lock(mutex_);
  try {
    return NewRecordLocked(token, name);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool InstrumentMap::Insert(std::string_view key, InstrumentRecord* record) {
  if (record == nullptr) return false;
  std::lock_guard lock(mutex_);
  return map_.Insert(key, record);
}

InstrumentRecord* InstrumentMap::Find(std::string_view key) {
  std::lock_guard lock(mutex_);
  return map_.Find(key);
}

InstrumentRecord* InstrumentMap::FindOrCreate(std::string_view key, std::int32_t token, std::string_view name,
                                              bool* created) {
  std::lock_guard lock(mutex_);
  return FindOrCreateLocked(key, token, name, created);
}

InstrumentRecord* InstrumentMap::FindOrCreateLocked(std::string_view key, std::int32_t token,
                                                    std::string_view name, bool* created) {
  if (created != nullptr) *created = false;
  if (InstrumentRecord* r = map_.Find(key)) return r;
  if (key.empty()) return nullptr;
  InstrumentRecord* r;
  try {
    r = NewRecordLocked(token, name);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!map_.Insert(key, r)) {
    records_.pop_back();  // the newest record is not reachable; take it back
    return nullptr;
  }
  if (created != nullptr) *created = true;
  return r;
}

int InstrumentMap::KeyValueChanged(std::string_view key, std::int32_t value) {
  std::lock_guard lock(mutex_);
  InstrumentRecord* r = FindOrCreateLocked(key, 0, key, nullptr);
  if (r == nullptr || r->lastValue.load(std::memory_order_relaxed) == value) return 0;
  r->lastValue.store(value, std::memory_order_relaxed);
  return 1;
}

int InstrumentMap::UpdateLastValue(std::int32_t segment, std::int32_t token, std::int32_t value) {
  std::lock_guard lock(mutex_);
  char key[kKeySize];
  const std::string_view k(key, FormatKey(key, segment, token));
  // A record first met here gets the token it was reported with and its key
  // as the name.
  InstrumentRecord* r = FindOrCreateLocked(k, token, k, nullptr);
  if (r == nullptr || r->lastValue.load(std::memory_order_relaxed) == value) return 0;
  r->lastValue.store(value, std::memory_order_relaxed);
  return r->subscribed.load(std::memory_order_relaxed) == 1 ? 1 : -1;
}

std::size_t InstrumentMap::KeyCount() const {
  std::lock_guard lock(mutex_);
  return map_.KeyCount();
}

std::size_t InstrumentMap::RecordCount() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

std::int32_t InstrumentMap::BucketCount() const {
  std::lock_guard lock(mutex_);
  return map_.BucketCount();
}

RecordCache::RecordCache(InstrumentMap& instruments, std::int32_t segment, int slotsLog2)
    : instruments_(instruments),
      segment_(segment),
      shift_(32 - slotsLog2),
      mask_((1u << slotsLog2) - 1),
      limit_(static_cast<int>((1u << slotsLog2) / 4 * 3)),
      slots_(static_cast<Slot*>(std::calloc(std::size_t{1} << slotsLog2, sizeof(Slot)))) {
  if (!slots_) throw std::bad_alloc();
}

InstrumentRecord* RecordCache::Lookup(std::int32_t token) {
  std::uint32_t i = (static_cast<std::uint32_t>(token) * 0x9E3779B1u) >> shift_;
  for (;; i = (i + 1) & mask_) {
    Slot& s = slots_[i];
    if (s.record == nullptr) break;
    if (s.token == token) return s.record;
  }
  // First report of this token: find or create its record as the map's own
  // change test does (created with the token and the key as its name).
  char key[InstrumentMap::kKeySize];
  const std::string_view k(key, InstrumentMap::FormatKey(key, segment_, token));
  InstrumentRecord* r = instruments_.FindOrCreate(k, token, k);
  if (r != nullptr && used_ < limit_) {
    slots_[i].token = token;
    slots_[i].record = r;
    ++used_;
  }
  return r;
}

int RecordCache::UpdateLastValue(std::int32_t token, std::int32_t value) {
  InstrumentRecord* r = Lookup(token);
  if (r == nullptr) return 0;
  if (r->lastValue.exchange(value, std::memory_order_relaxed) == value) return 0;
  return r->subscribed.load(std::memory_order_relaxed) == 1 ? 1 : -1;
}

}  // namespace fh
