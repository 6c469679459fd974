// DecodeNcmMessage: the NSE capital-market decoder (segment 1).
//
// Takes one broadcast message (the message address of the framing, header
// fields already in host order) and produces BCAST DELTA items, a
// ForwardedPacket and the operator's counters. Market watch (7201), ticker
// (7202) and market by price (7208) are converted in place in the caller's
// buffer; industry index (7203), indices (7207) and security update (7305) in
// a private copy. Nothing is read or written past the length handed in.
//
// Thread safety: Decode is called by one thread at a time (the receiver that
// frames capital-market datagrams). The counters may be read from any thread.
#pragma once

#include <cstdint>

#include "distribution/bridge_output.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "nse/decoder_entry.h"
#include "nse/decoder_support.h"
#include "nse/record_cache.h"

namespace fh::nse {

class NcmDecoder {
 public:
  static constexpr int kSegment = 1;
  static constexpr int kWatchedToken = 2885;

  NcmDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
             IndustryIndexCounters& industryIndex);
  NcmDecoder(const NcmDecoder&) = delete;
  NcmDecoder& operator=(const NcmDecoder&) = delete;

  // message: the message address; length: the bytes readable and writable
  // from it (0 or less: none).
  void Decode(std::uint8_t* message, int length);

  // Messages handed to the decoder, whatever their code.
  std::uint32_t MessageTotal() const { return Read(total_); }
  // Messages of a counted code (7201, 7202, 7203, 7207, 7208, 7305); 0 for
  // any other code.
  std::uint32_t Count(int code) const;
  const char* ReportedCodesText() const { return reported_.Text(); }

 private:
  enum Slot : int { kMarketWatch, kTicker, kIndices, kMarketByPrice, kSecurityUpdate, kSlots };

  void CountAndShow(Counter& counter, int rowCode);
  void ReportChange(std::int32_t token, std::int32_t value);
  void BuildPacket(const std::uint8_t* work, int workLength, int packetLength);

  void MarketWatch(std::uint8_t* message, int length);
  void Ticker(std::uint8_t* message, int length);
  void IndustryIndex(const std::uint8_t* message, int length);
  void Indices(const std::uint8_t* message, int length);
  void MarketByPrice(std::uint8_t* message, int length);
  void SecurityUpdate(const std::uint8_t* message, int length);
  void Unhandled(int code);

  FeedContext& context_;
  InstrumentMap& instruments_;
  BridgeOutput& out_;
  IndustryIndexCounters& industryIndex_;

  Counter total_{0};
  Counter counts_[kSlots] = {};
  ReportedCodes reported_{"NCM,"};

  RecordCache records_;
  MessageHead head_{};
  DeltaLines lines_;
  PacketStage packet_;
  std::uint8_t copy_[cm::industry::kMessageLength] = {};  // the largest private copy
};

// The entry the capital-market framing calls.
DecoderEntry MakeDecoderEntry(NcmDecoder& decoder);

}  // namespace fh::nse
