#include "nse/derivative_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fh::nse {
namespace {

constexpr MarketWatchFields kMarketWatchView{fo::mw::kBuyPrice0, fo::mw::kSellPrice0, fo::mw::kBuyVolume0,
                                             fo::mw::kSellVolume0, fo::mw::kLastTradedPrice0};
constexpr TickerFields kTickerView{fo::ticker::kFillPrice, fo::ticker::kFillVolume};
constexpr MarketByPriceFields kMarketByPriceView{fo::mbp::kMbpInfoAt,        fo::mbp::kMbpSellAt,
                                                 fo::mbp::kMbpInfoSize,      fo::mbp::kLastTradedPrice,
                                                 fo::mbp::kLastTradeQuantity, fo::mbp::kVolumeTradedToday,
                                                 fo::mbp::kLastTradeTime};

// Room for some 196,000 contracts before tokens go through the table each time.
constexpr int kCacheSlotsLog2 = 18;

constexpr int kTotalRow = 0;  // grid row "0" shows the message total

}  // namespace

DerivativeDecoder::DerivativeDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                                     int segment, int segmentCode, int divisor, bool allDelta)
    : context_(context),
      instruments_(instruments),
      out_(out),
      segment_(segment),
      records_(instruments, segment, kCacheSlotsLog2),
      lines_(out, context.options.bcastDelta, segment, allDelta),
      packet_(segmentCode, divisor) {}

bool DerivativeDecoder::Counters() const {
  return context_.options.pktCounters.load(std::memory_order_relaxed) == 1;
}

bool DerivativeDecoder::Delta() const { return context_.options.bcastDelta.load(std::memory_order_relaxed) != 0; }

int DerivativeDecoder::Begin(const std::uint8_t* message, int length) {
  lines_.Clear();
  packet_.Clear();
  available_ = std::clamp(length, 0, kCopySize);
  if (available_ > 0) std::memcpy(copy_, message, static_cast<std::size_t>(available_));
  std::memset(copy_ + available_, 0, static_cast<std::size_t>(kCopySize - available_));
  head_.Take(copy_, available_);
  CountAndShow(total_, kTotalRow);
  return head_.TransactionCode();
}

void DerivativeDecoder::Finish() {
  if (packet_.Length() > 0) out_.SendToBridges(segment_, packet_.Length(), packet_.Bytes());
  lines_.Send();
}

void DerivativeDecoder::CountAndShow(Counter& counter, int rowCode) {
  const std::uint32_t n = Bump(counter);
  if (rowCode != kNoRow && Counters()) {
    context_.grid.SetCounterCell(rowCode, n, CounterGrid::kFoColumn);
  }
}

void DerivativeDecoder::ReportChange(std::int32_t token, std::int32_t value) {
  const int r = records_.UpdateLastValue(token, value);
  if (r == 0) return;
  char item[kChangeItemSize];
  const int n = FormatChangeItem(item, token, value);
  lines_.AppendChange(item, n, r == 1);
}

void DerivativeDecoder::BuildPacket(int packetLength) {
  if (context_.options.ctcl.load(std::memory_order_relaxed) != 1 || !out_.BridgeConnected()) return;
  packet_.Build(head_.bytes, copy_, available_, packetLength);
}

void DerivativeDecoder::MarketWatch() {
  namespace L = fo::mw;
  const int records = ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(copy_, available_);
  const bool counters = Counters();
  const bool delta = Delta();
  if (counters || delta) {
    const std::uint8_t* r = copy_ + records::kRecordsAt;
    for (int i = 0; i < records; ++i, r += L::kRecordSize) {
      const std::int32_t token = Load32(r + L::kToken);
      if (counters && token == kWatchedToken) ShowMarketWatch(context_.grid, r, kMarketWatchView);
      if (delta) ReportChange(token, Load32(r + L::kLastTradedPrice0));
    }
  }
  BuildPacket(L::kPacketLength);
}

void DerivativeDecoder::Ticker() {
  namespace L = fo::ticker;
  const int records = ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(copy_, available_);
  const bool counters = Counters();
  const bool delta = Delta();
  if (counters || delta) {
    const std::uint8_t* r = copy_ + records::kRecordsAt;
    for (int i = 0; i < records; ++i, r += L::kRecordSize) {
      const std::int32_t token = Load32(r + L::kToken);
      if (counters && token == kWatchedToken) ShowTicker(context_.grid, r, kTickerView);
      if (delta && Load16(r + L::kMarketType) == 1) ReportChange(token, Load32(r + L::kFillPrice));
    }
  }
  BuildPacket(L::kPacketLength);
}

void DerivativeDecoder::MarketByPrice() {
  namespace L = fo::mbp;
  const int records = ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(copy_, available_);
  const bool counters = Counters();
  const bool delta = Delta();
  if (counters || delta) {
    const std::uint8_t* r = copy_ + records::kRecordsAt;
    for (int i = 0; i < records; ++i, r += L::kRecordSize) {
      const std::int32_t token = Load32(r + L::kToken);
      if (counters && token == kWatchedToken) {
        ShowMarketByPrice(context_.grid, r, kMarketByPriceView);
      }
      if (delta && Load16(r + L::kTradingStatus) == 2 && Load16(r + L::kBookType) == 1) {
        ReportChange(token, Load32(r + L::kLastTradedPrice));
      }
    }
  }
  BuildPacket(L::kPacketLength);
}

void DerivativeDecoder::Spread() {
  // The copy is 1024 bytes and cleared past what arrived, so the fixed layout
  // converts safely; bytes that never arrived stay zero.
  ConvertFields<fo::spread::kConverted>(copy_);
  BuildPacket(fo::spread::kPacketLength);
}

void DerivativeDecoder::ContractUpdate() {
  namespace L = fo::contract;
  if (!Delta() || available_ < L::kEnd) return;
  ConvertFields<L::kConverted>(copy_);
  const std::int32_t token = Load32(copy_ + L::kToken);

  char key[InstrumentMap::kKeySize];
  const std::size_t keyLength = InstrumentMap::FormatKey(key, segment_, token);
  bool created = false;
  instruments_.FindOrCreate(std::string_view(key, keyLength), token, std::string_view(""), &created);
  if (!created) return;

  const char* text = reinterpret_cast<const char*>(copy_);
  char item[100];
  const int n = std::snprintf(item, sizeof item, ",%d|2:%d:%.10s:%d:%d:%.2s", token, token, text + L::kSymbol,
                              Load32(copy_ + L::kExpiryDate), Load32(copy_ + L::kStrikePrice),
                              text + L::kOptionType);
  if (n > 0) lines_.AppendSubscribed(item, std::min<int>(n, sizeof item - 1));
}

void DerivativeDecoder::Pairs7130() {
  namespace L = fo::pairs7130;
  const int fit = std::max(available_ - L::kEntriesAt, 0) / L::kEntrySize;
  const int entries = std::clamp(head_.ErrorCode(), 0, fit);
  std::uint8_t* e = copy_ + L::kEntriesAt;
  for (int i = 0; i < entries; ++i, e += L::kEntrySize) ConvertFields<L::kConverted>(e);
}

}  // namespace fh::nse
