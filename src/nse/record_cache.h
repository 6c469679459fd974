// A decoder's own shortcut from token to InstrumentRecord for the change test.
//
// UpdateLastValue of the instrument table forms the key text, takes the
// table's lock and walks a hash chain for every reported value. Records are
// never removed and never move, so a decoder may keep the address of each
// record it has met once and answer the same question from it: the first
// report of a token goes through the table (which finds or creates the record
// under the key "%d,%d" of segment and token, as UpdateLastValue does), later
// ones swap the last value atomically and read the subscribed flag.
//
// Thread safety: one cache belongs to one decoder and is used by the thread
// that runs it. The records it points to are shared; their lastValue and
// subscribed fields are atomics.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "instruments/instrument_map.h"

namespace fh::nse {

class RecordCache {
 public:
  // slotsLog2: the cache holds up to three quarters of 2^slotsLog2 tokens;
  // tokens beyond that go through the table every time.
  RecordCache(InstrumentMap& instruments, int segment, int slotsLog2);
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
  const int segment_;
  const int shift_;
  const std::uint32_t mask_;
  const int limit_;
  int used_ = 0;
  std::unique_ptr<Slot[], Free> slots_;
};

}  // namespace fh::nse
