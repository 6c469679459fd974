// What the F&O (segment 2) and currency-derivatives (segment 3) decoders have
// in common: the private message copy, the per-call delta lines and packet,
// the counters with their grid rows, and the handlers both segments run for
// market watch (7201), ticker (7202), market by price (7208), spread (7211),
// contract update (7305) and the 7130 pairs.
//
// Every call first copies the message (at most 1024 bytes, none when the
// length is 0 or less) into a cleared private copy; handlers convert and read
// only that copy, so the caller's buffer is never changed, and report only
// fields that lie within the bytes that arrived.
//
// Thread safety: Decode is called by one thread at a time (the receiver that
// frames the segment). Counters may be read from any thread.
#pragma once

#include <cstdint>

#include "distribution/bridge_output.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "nse/decoder_support.h"
#include "nse/record_cache.h"

namespace fh::nse {

class DerivativeDecoder {
 public:
  static constexpr int kWatchedToken = 38665;
  static constexpr int kCopySize = 1024;

  DerivativeDecoder(const DerivativeDecoder&) = delete;
  DerivativeDecoder& operator=(const DerivativeDecoder&) = delete;

  // Messages handed to the decoder, whatever their code.
  std::uint32_t MessageTotal() const { return Read(total_); }

 protected:
  DerivativeDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out, int segment,
                    int segmentCode, int divisor, bool allDelta);
  ~DerivativeDecoder() = default;

  // Step one of every call: clears the per-call state, takes the private
  // copy, counts the message (shown in row 0, F&O column) and returns the
  // transaction code.
  int Begin(const std::uint8_t* message, int length);
  // The output step: the packet, then the delta lines.
  void Finish();

  static constexpr int kNoRow = -1;

  // Increments counter and shows it in the F&O column of the grid row whose
  // code is rowCode (none for kNoRow, and none for a code without a row).
  void CountAndShow(Counter& counter, int rowCode);
  void ReportChange(std::int32_t token, std::int32_t value);
  void BuildPacket(int packetLength);
  bool Counters() const;
  bool Delta() const;

  void MarketWatch();
  void Ticker();
  void MarketByPrice();
  void Spread();
  void ContractUpdate();
  void Pairs7130();

  FeedContext& context_;
  InstrumentMap& instruments_;
  BridgeOutput& out_;
  const int segment_;

  Counter total_{0};
  RecordCache records_;
  MessageHead head_{};
  DeltaLines lines_;
  PacketStage packet_;
  int available_ = 0;  // bytes of copy_ that arrived
  std::uint8_t copy_[kCopySize] = {};
};

}  // namespace fh::nse
