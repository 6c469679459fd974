#include "nse/nfo_decoder.h"

#include <cstdio>

#include "feedstate/counter_grid.h"

namespace fh::nse {

using Nfo = NfoDecoder;

// Codes of a group share one counter, shown in the group's row; today's codes
// count with the classic code they replace. 7324 keeps a count of its own
// that no row shows (row 7305 shows 7305 alone).
const auto& NfoDecoder::Routing() {
  static constexpr Routes kRoutes{std::to_array<Route<Nfo>>({
      {.code = 1833, .counter = 1833, .row = 1833},
      {.code = 11833, .counter = 1833, .row = 1833},
      {.code = 2009, .counter = 2009, .row = 2009},
      {.code = 6013, .counter = 6013, .row = 6013},
      {.code = 6501, .counter = 6501, .row = 6501},
      {.code = 6511, .counter = 6571, .row = 6571},
      {.code = 6521, .counter = 6571, .row = 6571},
      {.code = 6522, .counter = 6571, .row = 6571},
      {.code = 6531, .counter = 6571, .row = 6571},
      {.code = 6571, .counter = 6571, .row = 6571},
      {.code = 6541, .counter = 6541, .row = 6541},
      {.code = 7130, .counter = 7130, .row = 7130, .handle = &Nfo::Pairs7130},
      {.code = 17130, .counter = 7130, .row = 7130, .handle = &Nfo::OpenInterest17130,
       .form = lists::kOpenInterest17130Form},
      {.code = 7200, .counter = 7200, .row = 7200},
      {.code = 7201, .counter = 7201, .row = 7201, .handle = &Nfo::HandleRecordList<lists::kFoMw>,
       .form = lists::kFoMw.form, .today = &Nfo::HandleRecordList<lists::kFoMwWide>,
       .todaysForm = lists::kFoMwWide.form},
      {.code = 17201, .counter = 7201, .row = 7201, .handle = &Nfo::HandleRecordList<lists::kFoMw17201>,
       .form = lists::kFoMw17201.form},
      {.code = 7202, .counter = 7202, .row = 7202, .handle = &Nfo::HandleRecordList<lists::kFoTicker>},
      {.code = 17202, .counter = 7202, .row = 7202, .handle = &Nfo::HandleRecordList<lists::kFoTicker17202>,
       .form = lists::kFoTicker17202.form},
      {.code = 7203, .counter = 7203, .row = 7203, .handle = &Nfo::IndustryIndex},
      {.code = 7206, .counter = 7206, .row = 7206},
      {.code = 7207, .counter = 7207, .row = 7207, .handle = &Nfo::HandleRecordList<lists::kIndices>},
      {.code = 7208, .counter = 7208, .row = 7208, .handle = &Nfo::HandleRecordList<lists::kFoMbp>},
      {.code = 17208, .counter = 7208, .row = 7208, .handle = &Nfo::HandleRecordList<lists::kFoMbp17208>,
       .form = lists::kFoMbp17208.form},
      {.code = 7210, .counter = 7320, .row = 7320},
      {.code = 7320, .counter = 7320, .row = 7320},
      {.code = 7211, .counter = 7211, .row = 7211, .handle = &Nfo::Spread},
      {.code = 17211, .counter = 7211, .row = 7211, .handle = &Nfo::Spread17211, .form = lists::kSpread17211Form},
      {.code = 7305, .counter = 7305, .row = 7305, .handle = &Nfo::ContractUpdate},
      {.code = 7306, .counter = 7306, .row = 7306},
      {.code = 7309, .counter = 7309, .row = 7309},
      {.code = 7324, .counter = 7324, .row = kNoRow},
      {.code = 7732, .counter = 7732, .row = 7732,
       .handle = &Nfo::Value<fo::v7732::kConverted, fo::v7732::kToken, fo::v7732::kValue, 0>},
      {.code = 7733, .counter = 7733, .row = 7733,
       .handle = &Nfo::Value<fo::v7733::kConverted, fo::v7733::kToken, fo::v7733::kValue, 0>},
      {.code = 9010, .counter = 9011, .row = 9011},
      {.code = 9011, .counter = 9011, .row = 9011},
  })};
  static_assert(kRoutes.Slots() <= kMaxSlots, "more counters than the decoder holds");
  return kRoutes;
}

NfoDecoder::NfoDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                       IndustryIndexCounters& industryIndex)
    : DerivativeDecoder(context, instruments, out,
                        Setup{"FO", kSegment, kSegmentCodeFo, kDivisorFo, true, CounterGrid::kFoColumn, kWatchedToken,
                              kContractCacheSlotsLog2, &industryIndex.fo}),
      indexPath_(context.places.SystemDrive(kIndexFileName)) {}

std::uint32_t NfoDecoder::Count(int code) const { return CountOf(Routing(), code); }

void NfoDecoder::Decode(std::uint8_t* message, int length, std::int64_t receivedAtNs) {
  const int code = Begin(message, length, receivedAtNs);
  if (!Dispatch(Routing(), code, copy_, available_) && reported_.Add(code)) {
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
