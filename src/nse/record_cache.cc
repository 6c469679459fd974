#include "nse/record_cache.h"

#include <new>
#include <string_view>

namespace fh::nse {

RecordCache::RecordCache(InstrumentMap& instruments, int segment, int slotsLog2)
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
  // First report of this token: find or create its record as the table's own
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

}  // namespace fh::nse
