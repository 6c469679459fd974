// NcdDecoder: the NSE currency-derivatives decoder (segment 3).
//
// Built like the F&O decoder (private 1024-byte copy, the shared derivative
// handlers), with a packet header of 22 and 0x9680, a 7213 value handler of
// its own, and an invalid-code report for every message outside its table
// (log list and the segment's BPACK counter file). The all-delta broadcast
// does not carry this segment, so only the subscribed-delta line leaves.
//
// Thread safety: Decode is called by one thread at a time (the receiver that
// frames CD datagrams). The counters may be read from any thread.
#pragma once

#include <cstdint>

#include "nse/decoder_entry.h"
#include "nse/derivative_decoder.h"

namespace fh::nse {

class NcdDecoder final : public DerivativeDecoder {
 public:
  static constexpr int kSegment = 3;

  NcdDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out);

  // message: the message address; length: the bytes readable from it (0 or
  // less: none; at most 1024 are used); receivedAtNs: when its datagram
  // arrived (CLOCK_REALTIME ns, 0 unknown), carried to the Bridge's packet.
  void Decode(std::uint8_t* message, int length, std::int64_t receivedAtNs = 0);

  // The counter of a counted code or of its group; 0 for any other code.
  std::uint32_t Count(int code) const;

 private:
  // The routing table (ncd_decoder.cc).
  static const auto& Routing();
};

}  // namespace fh::nse
