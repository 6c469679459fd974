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
// With 300,000 keys in 20011 buckets a chain holds about 15 entries, too slow
// to walk under the lock for every reported value: the decoders answer the
// change test through a RecordCache of their own (below), which goes to the
// map once per token.
//
// Thread safety: every InstrumentMap member may be called from any thread;
// finds and inserts are serialised by one lock. A record's lastValue and
// subscribed are atomics that callers may read and write without the lock. A
// RecordCache belongs to one caller and is used by one thread at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

  mutable std::mutex mutex_;
  StringHashMap<InstrumentRecord> map_;
  std::deque<InstrumentRecord> records_;  // stable addresses; freed with the map
};

// One caller's shortcut from token to InstrumentRecord for the change test of
// one segment. Records are never removed and never move, so the cache keeps
// the address of each record it has met: the first report of a token goes
// through the map (which finds or creates the record under the key "%d,%d"
// of segment and token, as UpdateLastValue does), later ones swap the last
// value atomically and read the subscribed flag, without the map's lock.
// A key by segment and token that Insert later gives another record is not
// followed; the master loaders, the only callers that replace such keys, run
// before any decoder reports a value.
class RecordCache {
 public:
  // slotsLog2: the cache holds up to three quarters of 2^slotsLog2 tokens;
  // tokens beyond that go through the map every time.
  RecordCache(InstrumentMap& instruments, std::int32_t segment, int slotsLog2);
  RecordCache(const RecordCache&) = delete;
  RecordCache& operator=(const RecordCache&) = delete;

  // As InstrumentMap::UpdateLastValue(segment, token, value): 0 unchanged,
  // 1 changed and subscribed, -1 changed and not subscribed.
  int UpdateLastValue(std::int32_t token, std::int32_t value);

 private:
  // All zero bytes is a free slot, so the table comes from calloc and only
  // the pages that hold tokens are ever touched.
  struct Slot {
    std::int32_t token;
    InstrumentRecord* record;  // null: the slot is free
  };
  struct Free {
    void operator()(Slot* p) const { std::free(p); }
  };

  InstrumentRecord* Lookup(std::int32_t token);

  InstrumentMap& instruments_;
  const std::int32_t segment_;
  const int shift_;
  const std::uint32_t mask_;
  const int limit_;
  int used_ = 0;
  std::unique_ptr<Slot[], Free> slots_;
};

}  // namespace fh
