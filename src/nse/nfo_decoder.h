// NfoDecoder: the NSE futures-and-options decoder (segment 2).
//
// Works like the capital-market decoder on a private copy of each message (at
// most 1024 bytes). Beside the shared handlers it appends every industry-index
// record (7203) to the index file on the system drive ("IndexBcastFO.txt"),
// forwards indices (7207) and reports the values of 7732 and 7733. Today's
// codes 17201, 17202, 17208, 17211, 17130 and 11833 run the handler of the
// classic code they replace, with today's layout, and count with it; 7201
// comes in two forms, told apart by the header's MessageLength. A code it
// does not know is reported once (log list and the segment's BPACK counter
// file).
//
// Thread safety: Decode is called by one thread at a time (the receiver that
// frames F&O datagrams). The counters may be read from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "nse/decoder_entry.h"
#include "nse/derivative_decoder.h"

namespace fh::nse {

class NfoDecoder final : public DerivativeDecoder {
 public:
  static constexpr int kSegment = 2;
  static constexpr const char* kIndexFileName = "IndexBcastFO.txt";

  NfoDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
             IndustryIndexCounters& industryIndex);

  // message: the message address; length: the bytes readable from it (0 or
  // less: none; at most 1024 are used); receivedAtNs: when its datagram
  // arrived (CLOCK_REALTIME ns, 0 unknown), carried to the Bridge's packet.
  void Decode(std::uint8_t* message, int length, std::int64_t receivedAtNs = 0);

  // The counter of a counted code or of its group (6511 reads the 6571 group,
  // 7210 the 7320 group, 9010 the 9011 group, a code of today the classic
  // code's); 0 for any other code.
  std::uint32_t Count(int code) const;
  std::string_view ReportedCodesText() const { return reported_.Text(); }
  const std::string& IndexFilePath() const { return indexPath_; }

 private:
  // The routing table (nfo_decoder.cc).
  static const auto& Routing();

  void IndustryIndex(std::uint8_t* work, int length);

  ReportedCodes<1023> reported_{"NFO,"};
  const std::string indexPath_;
};

}  // namespace fh::nse
