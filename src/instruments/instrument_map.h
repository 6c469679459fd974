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
// Thread safety: every member may be called from any thread; finds and inserts
// are serialised by one lock. A record's lastValue and subscribed are atomics
// that callers may read and write without the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
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
  InstrumentRecord* NewRecord(std::int32_t token, std::string_view name);
  // Stores record under key, replacing the value of an existing key.
  bool Insert(std::string_view key, InstrumentRecord* record);

  std::size_t KeyCount() const;
  std::int32_t BucketCount() const;

  // Formats "%d,%d" into out (at least kKeySize bytes); returns the length.
  static std::size_t FormatKey(char* out, std::int32_t segment, std::int32_t token);

 private:
  InstrumentRecord* NewRecordLocked(std::int32_t token, std::string_view name);
  InstrumentRecord* FindOrCreateLocked(std::string_view key, std::int32_t token, std::string_view name,
                                       bool* created);

  mutable std::mutex mutex_;
  StringHashMap<InstrumentRecord> map_;
  std::deque<InstrumentRecord> records_;  // stable addresses; freed with the map
};

}  // namespace fh
