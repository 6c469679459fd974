// The BSE block decoder: counts every message block by message type, walks its
// records by the layout of the type, and collects the values that changed into
// one delta line that goes out on the subscribed-delta port only ("4" prefix).
// Message types it does not know are reported once each in the log list. The
// block itself is never changed and no forwarded packet is built here. Every
// block with a payload counts in the feed's figures by its type (unknown types
// also as unhandled).
//
// Thread safety: DecodeBseBlock runs on the BSE receiver thread only (one per
// program); UnhandledBseTypes belongs to that thread too. Count may be read
// from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bse/bse_layouts.h"
#include "distribution/delta_line.h"
#include "distribution/reported_codes.h"
#include "instruments/instrument_map.h"

namespace fh {
struct FeedContext;
}  // namespace fh

namespace fh::bse {

class BseDecoder {
 public:
  // UnhandledBseTypes holds at most this many characters; once a type no longer
  // fits, new types are neither recorded nor reported.
  static constexpr int kUnhandledTypesLimit = 4095;

  BseDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& output);
  BseDecoder(const BseDecoder&) = delete;
  BseDecoder& operator=(const BseDecoder&) = delete;

  // block points at the tag of a message block of size bytes (L + 8). Reads
  // nothing outside block[0 .. size-1]: a payload shorter than L claims, or a
  // block shorter than its 8-byte header, is read as if the missing bytes were
  // zero. Returns 0.
  int DecodeBseBlock(const std::uint8_t* block, int size);

  // Messages counted for type (2002 and 2003 share one count, as do 2011 and
  // 2012); 0 for types that are not counted.
  std::uint32_t Count(std::int32_t type) const;

  // "BCM," followed by every unhandled type met, each with a trailing ",".
  std::string UnhandledBseTypes() const { return std::string(unhandled_.Text()); }

 private:
  void WalkRecords(const MessageLayout& layout, std::int32_t type);
  void AddTokenItem(std::int32_t token, std::int32_t value);
  void AddCodeItem(const std::uint8_t* code, std::int32_t value);
  void ReportUnhandled(std::int32_t type);
  void DebugLog(std::int32_t type, int count, int index);

  FeedContext& context_;
  InstrumentMap& instruments_;

  std::atomic<std::uint32_t> counters_[kCounterCount] = {};

  alignas(8) std::uint8_t work_[kWorkAreaSize] = {};
  int workUsed_ = 0;  // bytes of work_ that may be non-zero

  RecordCache records_;
  // Every changed token or code, subscribed or not, goes into this one line,
  // which leaves on the subscribed-delta port only.
  DeltaLine line_;
  ReportedCodes<kUnhandledTypesLimit> unhandled_{"BCM,"};
};

}  // namespace fh::bse
