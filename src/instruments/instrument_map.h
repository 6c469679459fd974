// InstrumentMap: the feed handler's table of instruments, key text ->
// InstrumentRecord, over a StringHashMap of 20011 buckets with ShiftAddHash.
//
// Keys by segment and token are "%d,%s" of the segment number and the token's
// decimal text ("2,43521"). Records are created by the master loaders, by the
// change tests, by the decoders for newly announced instruments and by Bridge
// subscriptions; none is ever removed. One record may be reachable under two
// keys. The map owns its records (they live until the map is destroyed), but
// a key's value is just a pointer, as the loaders insert one record twice.
//
// UpdateLastValue looks its (segment, token) up in a small direct-mapped cache
// in front of the hash map first: with 300,000 keys in 20011 buckets a chain
// holds about 15 entries, too slow for every reported value. The cache only
// remembers what the map holds; Insert keeps it right when a key "%d,%d" gets
// another record.
//
// Thread safety: every member may be called from any thread; finds, inserts
// and the cache are serialised by one lock. A record's lastValue and
// subscribed are atomics that callers may read and write without the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>

#include "containers/string_hash_map.h"

namespace fh {

struct InstrumentRecord {
  std::int32_t token = 0;
  char name[40] = {};  // NUL-terminated, at most 39 characters
  std::atomic<std::int32_t> lastValue{-1};
  std::atomic<std::int32_t> subscribed{-1};  // 1 once a Bridge asked for it
};

class InstrumentMap {
 public:
  static constexpr std::int64_t kRequestedSize = 20011;
  static constexpr std::size_t kKeySize = 24;  // room for "%d,%d" of two 32-bit numbers

  InstrumentMap();
  InstrumentMap(const InstrumentMap&) = delete;
  InstrumentMap& operator=(const InstrumentMap&) = delete;

  // Finds or creates the record of key (created: token 0, name = key cut to 39
  // characters, lastValue -1, subscribed -1; UpdateLastValue creates it with
  // the token it reports). Returns 1 and stores value when
  // it differs from lastValue, else 0.
  int KeyValueChanged(std::string_view key, std::int32_t value);

  // KeyValueChanged on the key "%d,%d" of segment and token. 0: unchanged;
  // 1: changed and subscribed; -1: changed and not subscribed.
  int UpdateLastValue(std::int32_t segment, std::int32_t token, std::int32_t value);

  // The record under key, or null.
  InstrumentRecord* Find(std::string_view key);

  // The record under key; when absent, a new record with token, name (cut to
  // 39 characters), lastValue -1 and subscribed -1 is inserted. *created says
  // which. Null only when the insert failed (empty key, allocation failure).
  InstrumentRecord* FindOrCreate(std::string_view key, std::int32_t token, std::string_view name,
                                 bool* created = nullptr);

  // A new record owned by the map, not yet under any key (for the loaders).
  // Null when it cannot be allocated.
  InstrumentRecord* NewRecord(std::int32_t token, std::string_view name);
  // Stores record under key, replacing the value of an existing key. False for
  // a null record, an empty key or a failed allocation (nothing changes then).
  bool Insert(std::string_view key, InstrumentRecord* record);

  std::size_t KeyCount() const;
  std::int32_t BucketCount() const;
  // Records the map owns (created by any member), for tests and the benchmark.
  std::size_t RecordCount() const;

  // Formats "%d,%d" into out (at least kKeySize bytes); returns the length.
  static std::size_t FormatKey(char* out, std::int32_t segment, std::int32_t token);

 private:
  InstrumentRecord* NewRecordLocked(std::int32_t token, std::string_view name);
  InstrumentRecord* FindOrCreateLocked(std::string_view key, std::int32_t token, std::string_view name,
                                       bool* created);

  // One cache slot: the record the map holds under FormatKey(segment, token).
  struct CacheSlot {
    std::int32_t segment = 0;
    std::int32_t token = 0;
    InstrumentRecord* record = nullptr;  // null: empty slot
  };
  static constexpr std::size_t kCacheBits = 18;
  static constexpr std::size_t kCacheSlots = std::size_t{1} << kCacheBits;
  static std::size_t CacheIndex(std::int32_t segment, std::int32_t token);
  // Forgets the cached record of key when key is a key by segment and token.
  void ForgetCachedLocked(std::string_view key);

  mutable std::mutex mutex_;
  StringHashMap<InstrumentRecord> map_;
  std::deque<InstrumentRecord> records_;  // stable addresses; freed with the map
  std::unique_ptr<CacheSlot[]> cache_;
};

}  // namespace fh
