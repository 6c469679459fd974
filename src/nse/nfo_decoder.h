// DecodeNfoMessage: the NSE futures-and-options decoder (segment 2).
//
// Works like the capital-market decoder on a private 1024-byte copy of each
// message. Beside the shared derivative handlers it appends every
// industry-index record (7203) to the index file on the system drive
// ("IndexBcastFO.txt"), forwards indices (7207) and reports the values of
// 7732 and 7733. A code it does not know is reported once (log list and the
// segment's BPACK counter file).
//
// Thread safety: Decode is called by one thread at a time (the receiver that
// frames F&O datagrams). The counters may be read from any thread.
#pragma once

#include <cstdint>
#include <string>

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
  // less: none; at most 1024 are used).
  void Decode(std::uint8_t* message, int length);

  // The counter of a counted code or of its group (6511 reads the 6571 group,
  // 7210 the 7320 group, 9010 the 9011 group); 0 for any other code.
  std::uint32_t Count(int code) const;
  const char* ReportedCodesText() const { return reported_.Text(); }
  const std::string& IndexFilePath() const { return indexPath_; }

 private:
  enum Slot : int {
    k1833, k2009, k6013, k6501, kGroup6571, k6541, k7130, k7200, k7201, k7202, k7206, k7207, k7208,
    k7211, kGroup7320, k7305, k7306, k7309, k7324, k7732, k7733, kGroup9011, kSlots,
    kSharedIndustryIndex = kSlots,  // 7203: the shared object's F&O count
    kNone
  };
  struct Route {
    Slot slot;
    int row;  // grid row shown, kNoRow for none
  };
  static Route RouteOf(int code);
  Counter& CounterOf(Slot slot);

  void IndustryIndex();
  void Indices();
  template <const auto& kTable>
  void Value(int tokenAt, int valueAt);
  bool Unhandled(int code);

  IndustryIndexCounters& industryIndex_;
  Counter counts_[kSlots] = {};
  ReportedCodes reported_{"NFO,"};
  const std::string indexPath_;
};

// The entry the F&O framing calls.
DecoderEntry MakeDecoderEntry(NfoDecoder& decoder);

}  // namespace fh::nse
