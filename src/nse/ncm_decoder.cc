#include "nse/ncm_decoder.h"

#include <algorithm>
#include <cstring>

#include "feedstate/counter_grid.h"

namespace fh::nse {

using Ncm = NcmDecoder;

// Handled codes count in their own row; the other codes the capital-market
// feed carries are dropped without a trace; any code outside the table is
// reported once.
constexpr Routes<Ncm, 28> Ncm::kRoutes{std::array<Route<Ncm>, 28>{{
    {7201, 7201, 7201, &Ncm::HandleRecordList<lists::kCmMw>},
    {7202, 7202, 7202, &Ncm::HandleRecordList<lists::kCmTicker>},
    {7203, 7203, 7203, &Ncm::HandleCopiedRecordList<lists::kCmIndustry>},
    {7207, 7207, 7207, &Ncm::HandleCopiedRecordList<lists::kIndices>},
    {7208, 7208, 7208, &Ncm::HandleRecordList<lists::kCmMbp>},
    {7305, 7305, 7305, &Ncm::SecurityUpdate},
    {1833}, {1836}, {6013}, {6501}, {6511}, {6521}, {6531}, {6541}, {6571}, {6581}, {6582}, {7200}, {7206},
    {7210}, {7211}, {7214}, {7215}, {7216}, {7306}, {7320}, {9010}, {9011},
}}};

NcmDecoder::NcmDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                       IndustryIndexCounters& industryIndex)
    : DecoderCore(context, instruments, out,
                  // Capital-market tokens are 16-bit: at most 65,536 of them in the cache.
                  Setup{kSegment, kSegmentCodeCm, kDivisorCm, true, CounterGrid::kCashColumn, kWatchedToken, 17,
                        &industryIndex.cm}) {}

std::uint32_t NcmDecoder::Count(int code) const { return CountOf(kRoutes, code); }

void NcmDecoder::Decode(std::uint8_t* message, int length) {
  length = std::max(length, 0);
  Start(message, length);
  Bump(total_);
  const int code = head_.TransactionCode();
  if (!Dispatch(kRoutes, code, message, length)) Unhandled(code);
  Finish();
}

void NcmDecoder::SecurityUpdate(std::uint8_t* message, int length) {
  namespace L = cm::security;
  const int n = std::min(length, L::kMessageLength);
  if (n < L::kSeries + L::kSeriesSize) return;  // the fields read did not arrive
  std::memcpy(copy_, message, static_cast<std::size_t>(n));
  ConvertFields<L::kConverted>(copy_);
  const char* text = reinterpret_cast<const char*>(copy_);
  AnnounceInstrument(Load16(copy_ + L::kToken), ",%d|1:%d:%.10s:0:0:%.2s", text + L::kSymbol, text + L::kSeries);
}

void NcmDecoder::Unhandled(int code) {
  // "Unhandedled" is the text other programs parse: kept as it is.
  if (reported_.Add(code)) context_.log.LogFormat("FH : CM : Unhandedled TrxCode CM : %d\n", code);
}

}  // namespace fh::nse
