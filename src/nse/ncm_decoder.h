// NcmDecoder: the NSE capital-market decoder (segment 1).
//
// Takes one broadcast message (the message address of the framing, header
// fields already in host order) and produces BCAST DELTA items, a
// ForwardedPacket and the operator's counters. Market watch (7201), ticker
// (7202, and 18703 today) and market by price (7208) are converted in place in
// the caller's buffer; industry index (7203), indices (7207) and security
// update (7305, and 18720 today) in a private copy. 7201 and 7208 come in two
// forms, the classic and today's, told apart by the header's MessageLength; a
// length that announces neither is not decoded. Nothing is read or written
// past the length handed in.
//
// Thread safety: Decode is called by one thread at a time (the receiver that
// frames capital-market datagrams). The counters may be read from any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "nse/decoder_entry.h"
#include "nse/decoder_support.h"

namespace fh::nse {

class NcmDecoder final : public DecoderCore {
 public:
  static constexpr int kSegment = 1;
  static constexpr int kWatchedToken = 2885;

  NcmDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
             IndustryIndexCounters& industryIndex);

  // message: the message address; length: the bytes readable and writable
  // from it (0 or less: none); receivedAtNs: when its datagram arrived
  // (CLOCK_REALTIME ns, 0 unknown), carried to the Bridge's packet.
  void Decode(std::uint8_t* message, int length, std::int64_t receivedAtNs = 0);

  // Messages of a counted code (7201, 7202, 7203, 7207, 7208, 7305; today's
  // 18703 and 18720 count with 7202 and 7305); 0 for any other code.
  std::uint32_t Count(int code) const;
  std::string_view ReportedCodesText() const { return reported_.Text(); }

 private:
  // The routing table (ncm_decoder.cc).
  static const auto& Routing();

  template <const lists::SecurityUpdateLayout& L>
  void SecurityUpdate(std::uint8_t* message, int length);
  void Unhandled(int code);

  ReportedCodes<1023> reported_{"NCM,"};
};

}  // namespace fh::nse
