#include "nse/nfo_decoder.h"

#include <cstdio>

#include "feedstate/counter_grid.h"

namespace fh::nse {

using Nfo = NfoDecoder;

// Codes of a group share one counter, shown in the group's row. 7324 keeps a
// count of its own that no row shows (row 7305 shows 7305 alone).
constexpr Routes<Nfo, 29> Nfo::kRoutes{std::array<Route<Nfo>, 29>{{
    {1833, 1833, 1833}, {2009, 2009, 2009}, {6013, 6013, 6013}, {6501, 6501, 6501},
    {6511, 6571, 6571}, {6521, 6571, 6571}, {6522, 6571, 6571}, {6531, 6571, 6571}, {6571, 6571, 6571},
    {6541, 6541, 6541}, {7130, 7130, 7130, &Nfo::Pairs7130}, {7200, 7200, 7200},
    {7201, 7201, 7201, &Nfo::HandleRecordList<lists::kFoMw>},
    {7202, 7202, 7202, &Nfo::HandleRecordList<lists::kFoTicker>},
    {7203, 7203, 7203, &Nfo::IndustryIndex}, {7206, 7206, 7206},
    {7207, 7207, 7207, &Nfo::HandleRecordList<lists::kIndices>},
    {7208, 7208, 7208, &Nfo::HandleRecordList<lists::kFoMbp>},
    {7210, 7320, 7320}, {7320, 7320, 7320}, {7211, 7211, 7211, &Nfo::Spread},
    {7305, 7305, 7305, &Nfo::ContractUpdate}, {7306, 7306, 7306}, {7309, 7309, 7309}, {7324, 7324, kNoRow},
    {7732, 7732, 7732, &Nfo::Value<fo::v7732::kConverted, fo::v7732::kToken, fo::v7732::kValue, 0>},
    {7733, 7733, 7733, &Nfo::Value<fo::v7733::kConverted, fo::v7733::kToken, fo::v7733::kValue, 0>},
    {9010, 9011, 9011}, {9011, 9011, 9011},
}}};

NfoDecoder::NfoDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                       IndustryIndexCounters& industryIndex)
    : DerivativeDecoder(context, instruments, out,
                        Setup{kSegment, kSegmentCodeFo, kDivisorFo, true, CounterGrid::kFoColumn, kWatchedToken,
                              kContractCacheSlotsLog2, &industryIndex.fo}),
      indexPath_(context.places.SystemDrive(kIndexFileName)) {}

std::uint32_t NfoDecoder::Count(int code) const { return CountOf(kRoutes, code); }

void NfoDecoder::Decode(std::uint8_t* message, int length) {
  const int code = Begin(message, length);
  if (!Dispatch(kRoutes, code, copy_, available_) && reported_.Add(code)) {
    // A code reported now ends the call; one reported before goes on to the
    // output step, which has nothing to send.
    ReportCode("Unhandled", code, Order::kLogFirst);
    return;
  }
  Finish();
}

void NfoDecoder::IndustryIndex(std::uint8_t* work, int length) {
  namespace L = fo::industry;
  const int records = ConvertRecordList<lists::kFoIndustry>(work, length);
  const std::uint8_t* r = work + records::kRecordsAt;
  for (int i = 0; i < records; ++i, r += L::kRecordSize) {
    std::FILE* f = std::fopen(indexPath_.c_str(), "a+");
    if (f == nullptr) continue;  // this record's line is lost
    std::fprintf(f, "%.15s : %d\n", reinterpret_cast<const char*>(r + L::kName), Load32(r + L::kIndexValue));
    std::fflush(f);
    std::fclose(f);
  }
  BuildPacket(work, length, L::kPacketLength);
}

}  // namespace fh::nse
