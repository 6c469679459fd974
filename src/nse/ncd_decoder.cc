#include "nse/ncd_decoder.h"

#include "feedstate/counter_grid.h"

namespace fh::nse {

using Ncd = NcdDecoder;

// As in F&O: groups share a counter and 7324 counts apart; 7214 to 7216 are
// dropped without a trace.
constexpr Routes<Ncd, 26> Ncd::kRoutes{std::array<Route<Ncd>, 26>{{
    {6501, 6501, 6501}, {6511, 6571, 6571}, {6521, 6571, 6571}, {6522, 6571, 6571}, {6531, 6571, 6571},
    {6571, 6571, 6571}, {6541, 6541, 6541}, {7130, 7130, 7130, &Ncd::Pairs7130}, {7200, 7200, 7200},
    {7201, 7201, 7201, &Ncd::HandleRecordList<lists::kFoMw>},
    {7202, 7202, 7202, &Ncd::HandleRecordList<lists::kFoTicker>}, {7206, 7206, 7206},
    {7208, 7208, 7208, &Ncd::HandleRecordList<lists::kFoMbp>},
    {7210, 7320, 7320}, {7320, 7320, 7320}, {7211, 7211, 7211, &Ncd::Spread},
    {7213, 7213, 7213, &Ncd::Value<cd::v7213::kConverted, cd::v7213::kToken, cd::v7213::kValue,
                                   cd::v7213::kPacketLength>},
    {7214}, {7215}, {7216},
    {7305, 7305, 7305, &Ncd::ContractUpdate}, {7306, 7306, 7306}, {7309, 7309, 7309}, {7324, 7324, kNoRow},
    {9010, 9011, 9011}, {9011, 9011, 9011},
}}};

NcdDecoder::NcdDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out)
    : DerivativeDecoder(context, instruments, out,
                        Setup{kSegment, kSegmentCodeCd, kDivisorCd, false, CounterGrid::kFoColumn, kWatchedToken,
                              kContractCacheSlotsLog2, nullptr}) {}

std::uint32_t NcdDecoder::Count(int code) const { return CountOf(kRoutes, code); }

void NcdDecoder::Decode(std::uint8_t* message, int length) {
  const int code = Begin(message, length);
  if (!Dispatch(kRoutes, code, copy_, available_)) {
    // Every such message is reported, file first: no list of codes already
    // reported here.
    ReportCode("Invalid", code, Order::kFileFirst);
    return;
  }
  Finish();
}

}  // namespace fh::nse
