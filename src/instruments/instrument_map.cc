#include "instruments/instrument_map.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

namespace fh {

InstrumentMap::InstrumentMap()
    : map_(kRequestedSize, &ShiftAddHash), cache_(std::make_unique<CacheSlot[]>(kCacheSlots)) {}

std::size_t InstrumentMap::CacheIndex(std::int32_t segment, std::int32_t token) {
  const std::uint32_t mixed =
      static_cast<std::uint32_t>(token) * 2654435761u + static_cast<std::uint32_t>(segment) * 0x85EBCA6Bu;
  return static_cast<std::size_t>(mixed >> (32 - kCacheBits));
}

void InstrumentMap::ForgetCachedLocked(std::string_view key) {
  const char* const end = key.data() + key.size();
  std::int32_t segment = 0;
  std::int32_t token = 0;
  auto [p, ec] = std::from_chars(key.data(), end, segment);
  if (ec != std::errc() || p == end || *p != ',') return;
  auto [q, ec2] = std::from_chars(p + 1, end, token);
  if (ec2 != std::errc() || q != end) return;
  // Only the text UpdateLastValue itself forms names the pair ("1,022" does not).
  char canonical[kKeySize];
  if (std::string_view(canonical, FormatKey(canonical, segment, token)) != key) return;
  CacheSlot& slot = cache_[CacheIndex(segment, token)];
  if (slot.record != nullptr && slot.segment == segment && slot.token == token) slot = CacheSlot{};
}

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
  bool replaced = false;
  if (!map_.Insert(key, record, &replaced)) return false;
  // Only a key that was there already can be in the cache.
  if (replaced) ForgetCachedLocked(key);
  return true;
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
  CacheSlot& slot = cache_[CacheIndex(segment, token)];
  InstrumentRecord* r;
  if (slot.record != nullptr && slot.segment == segment && slot.token == token) {
    r = slot.record;
  } else {
    char key[kKeySize];
    const std::string_view k(key, FormatKey(key, segment, token));
    // A record first met here gets the token it was reported with and its key
    // as the name.
    r = FindOrCreateLocked(k, token, k, nullptr);
    if (r == nullptr) return 0;
    slot = CacheSlot{segment, token, r};
  }
  if (r->lastValue.load(std::memory_order_relaxed) == value) return 0;
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

}  // namespace fh
