// The BSE block decoder: counts every message block by message type, walks its
// records by the layout of the type, and collects the values that changed into
// one delta line that goes out on the subscribed-delta port only ("4" prefix).
// Message types it does not know are reported once each in the log list. The
// block itself is never changed and no forwarded packet is built here.
//
// Thread safety: DecodeBseBlock runs on the BSE receiver thread only (one per
// program); UnhandledBseTypes and LastDeltaLine belong to that thread too.
// Count may be read from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bse/bse_layouts.h"

namespace fh {

struct FeedContext;
class InstrumentMap;
class BridgeOutput;

class BseDecoder {
 public:
  // A delta line is flushed before an item would take it past this length.
  static constexpr std::size_t kDeltaLineLimit = 512;
  // Room for the longest line, the segment prefix the sender puts in front of
  // it, and the terminator.
  static constexpr std::size_t kDeltaLineCapacity = kDeltaLineLimit + 16;
  // UnhandledBseTypes holds at most this many characters; once a type no longer
  // fits, new types are neither recorded nor reported.
  static constexpr std::size_t kUnhandledTypesLimit = 4095;
  static constexpr char kUnhandledTypesStart[] = "BCM,";

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
  std::string UnhandledBseTypes() const { return std::string(unhandled_, unhandledLength_); }

 private:
  void WalkRecords(const bse::MessageLayout& layout, std::int32_t type);
  void AddTokenItem(std::int32_t token, std::int32_t value);
  void AddCodeItem(const std::uint8_t* code, std::int32_t value);
  void AddItem(const char* item, std::size_t length);
  void FlushDeltaLine();
  void ReportUnhandled(std::int32_t type);
  void DebugLog(std::int32_t type, int count, int index);

  FeedContext& context_;
  InstrumentMap& instruments_;
  BridgeOutput& output_;

  std::atomic<std::uint32_t> counters_[bse::kCounterCount] = {};

  alignas(8) std::uint8_t work_[bse::kWorkAreaSize] = {};
  int workUsed_ = 0;  // bytes of work_ that may be non-zero

  char deltaLine_[kDeltaLineCapacity] = {};
  std::size_t deltaLength_ = 0;

  char unhandled_[kUnhandledTypesLimit + 1] = {};
  std::size_t unhandledLength_ = 0;
};

}  // namespace fh
