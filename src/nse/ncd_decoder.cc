#include "nse/ncd_decoder.h"

#include "feedstate/counter_grid.h"

namespace fh::nse {

using Ncd = NcdDecoder;

// As in F&O: groups share a counter and 7324 counts apart; 7214 to 7216 are
// dropped without a trace. The currency segment keeps the classic forms.
const auto& NcdDecoder::Routing() {
  static constexpr Routes kRoutes{std::to_array<Route<Ncd>>({
      {.code = 6501, .counter = 6501, .row = 6501},
      {.code = 6511, .counter = 6571, .row = 6571},
      {.code = 6521, .counter = 6571, .row = 6571},
      {.code = 6522, .counter = 6571, .row = 6571},
      {.code = 6531, .counter = 6571, .row = 6571},
      {.code = 6571, .counter = 6571, .row = 6571},
      {.code = 6541, .counter = 6541, .row = 6541},
      {.code = 7130, .counter = 7130, .row = 7130, .handle = &Ncd::Pairs7130},
      {.code = 7200, .counter = 7200, .row = 7200},
      {.code = 7201, .counter = 7201, .row = 7201, .handle = &Ncd::HandleRecordList<lists::kFoMw>},
      {.code = 7202, .counter = 7202, .row = 7202, .handle = &Ncd::HandleRecordList<lists::kFoTicker>},
      {.code = 7206, .counter = 7206, .row = 7206},
      {.code = 7208, .counter = 7208, .row = 7208, .handle = &Ncd::HandleRecordList<lists::kFoMbp>},
      {.code = 7210, .counter = 7320, .row = 7320},
      {.code = 7320, .counter = 7320, .row = 7320},
      {.code = 7211, .counter = 7211, .row = 7211, .handle = &Ncd::Spread},
      {.code = 7213, .counter = 7213, .row = 7213,
       .handle = &Ncd::Value<cd::v7213::kConverted, cd::v7213::kToken, cd::v7213::kValue, cd::v7213::kPacketLength>},
      {.code = 7214}, {.code = 7215}, {.code = 7216},
      {.code = 7305, .counter = 7305, .row = 7305, .handle = &Ncd::ContractUpdate},
      {.code = 7306, .counter = 7306, .row = 7306},
      {.code = 7309, .counter = 7309, .row = 7309},
      {.code = 7324, .counter = 7324, .row = kNoRow},
      {.code = 9010, .counter = 9011, .row = 9011},
      {.code = 9011, .counter = 9011, .row = 9011},
  })};
  static_assert(kRoutes.Slots() <= kMaxSlots, "more counters than the decoder holds");
  return kRoutes;
}

NcdDecoder::NcdDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out)
    : DerivativeDecoder(context, instruments, out,
                        Setup{"CD", kSegment, kSegmentCodeCd, kDivisorCd, false, CounterGrid::kFoColumn, kWatchedToken,
                              kContractCacheSlotsLog2, nullptr}) {}

std::uint32_t NcdDecoder::Count(int code) const { return CountOf(Routing(), code); }

void NcdDecoder::Decode(std::uint8_t* message, int length, std::int64_t receivedAtNs) {
  const int code = Begin(message, length, receivedAtNs);
  if (!Dispatch(Routing(), code, copy_, available_)) {
    // Every such message is reported, file first: no list of codes already
    // reported here.
    ReportCode("Invalid", code, Order::kFileFirst);
    return;
  }
  Finish();
}

}  // namespace fh::nse
