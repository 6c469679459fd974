#include "nse/ncm_decoder.h"

#include <algorithm>
#include <cstring>

#include "feedstate/counter_grid.h"

namespace fh::nse {

using Ncm = NcmDecoder;

// Handled codes count in their own row, today's codes in the row of the
// classic code they replace; the other codes the capital-market feed carries
// are dropped without a trace; any code outside the table is reported once.
const auto& NcmDecoder::Routing() {
  static constexpr Routes kRoutes{std::to_array<Route<Ncm>>({
      {.code = 7201, .counter = 7201, .row = 7201, .handle = &Ncm::HandleRecordList<lists::kCmMw>,
       .form = lists::kCmMw.form, .today = &Ncm::HandleRecordList<lists::kCmMwWide>,
       .todaysForm = lists::kCmMwWide.form},
      {.code = 7202, .counter = 7202, .row = 7202, .handle = &Ncm::HandleRecordList<lists::kCmTicker>},
      {.code = 18703, .counter = 7202, .row = 7202, .handle = &Ncm::HandleRecordList<lists::kCmTicker18703>,
       .form = lists::kCmTicker18703.form},
      {.code = 7203, .counter = 7203, .row = 7203, .handle = &Ncm::HandleCopiedRecordList<lists::kCmIndustry>},
      {.code = 7207, .counter = 7207, .row = 7207, .handle = &Ncm::HandleCopiedRecordList<lists::kIndices>},
      {.code = 7208, .counter = 7208, .row = 7208, .handle = &Ncm::HandleRecordList<lists::kCmMbp>,
       .form = lists::kCmMbp.form, .today = &Ncm::HandleRecordList<lists::kCmMbpWide>,
       .todaysForm = lists::kCmMbpWide.form},
      {.code = 7305, .counter = 7305, .row = 7305, .handle = &Ncm::SecurityUpdate<lists::kCmSecurity>},
      {.code = 18720, .counter = 7305, .row = 7305, .handle = &Ncm::SecurityUpdate<lists::kCmSecurity18720>,
       .form = lists::kSecurity18720Form},
      {.code = 1833}, {.code = 1836}, {.code = 6013}, {.code = 6501}, {.code = 6511}, {.code = 6521},
      {.code = 6531}, {.code = 6541}, {.code = 6571}, {.code = 6581}, {.code = 6582}, {.code = 7200},
      {.code = 7206}, {.code = 7210}, {.code = 7211}, {.code = 7214}, {.code = 7215}, {.code = 7216},
      {.code = 7306}, {.code = 7320}, {.code = 9010}, {.code = 9011},
  })};
  static_assert(kRoutes.Slots() <= kMaxSlots, "more counters than the decoder holds");
  return kRoutes;
}

NcmDecoder::NcmDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                       IndustryIndexCounters& industryIndex)
    : DecoderCore(context, instruments, out,
                  // Today's capital-market tokens are 4 bytes wide, as the contracts' are.
                  Setup{"CM", kSegment, kSegmentCodeCm, kDivisorCm, true, CounterGrid::kCashColumn, kWatchedToken, 18,
                        &industryIndex.cm}) {}

std::uint32_t NcmDecoder::Count(int code) const { return CountOf(Routing(), code); }

void NcmDecoder::Decode(std::uint8_t* message, int length, std::int64_t receivedAtNs) {
  length = std::max(length, 0);
  Start(message, length, receivedAtNs);
  Bump(total_);
  const int code = head_.TransactionCode();
  if (!Dispatch(Routing(), code, message, length)) Unhandled(code);
  Finish();
}

// A new security: the token, symbol and series read from a private copy of
// the first L.copyLength bytes, the token converted there.
template <const lists::SecurityUpdateLayout& L>
void NcmDecoder::SecurityUpdate(std::uint8_t* message, int length) {
  static_assert(L.copyLength <= static_cast<int>(sizeof copy_) && L.end <= L.copyLength);
  const int n = std::min(length, L.copyLength);
  if (n < L.end) return;  // the fields read did not arrive
  std::memcpy(copy_, message, static_cast<std::size_t>(n));
  ConvertField(copy_ + L.token, L.tokenWidth);
  const std::int32_t token = L.tokenWidth == 2 ? Load16(copy_ + L.token) : Load32(copy_ + L.token);
  const char* text = reinterpret_cast<const char*>(copy_);
  AnnounceInstrument(token, ",%d|1:%d:%.10s:0:0:%.2s", text + L.symbol, text + L.series);
}

void NcmDecoder::Unhandled(int code) {
  // "Unhandedled" is the text other programs parse: kept as it is.
  if (reported_.Add(code)) context_.log.LogFormat("FH : CM : Unhandedled TrxCode CM : %d\n", code);
}

}  // namespace fh::nse
