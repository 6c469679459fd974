#include "nse/ncm_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fh::nse {
namespace {

constexpr MarketWatchFields kMarketWatchView{cm::mw::kBuyPrice0, cm::mw::kSellPrice0, cm::mw::kBuyVolume0,
                                             cm::mw::kSellVolume0, cm::mw::kLastTradedPrice0};
constexpr TickerFields kTickerView{cm::ticker::kFillPrice, cm::ticker::kFillVolume};
constexpr MarketByPriceFields kMarketByPriceView{cm::mbp::kMbpInfoAt,        cm::mbp::kMbpSellAt,
                                                 cm::mbp::kMbpInfoSize,      cm::mbp::kLastTradedPrice,
                                                 cm::mbp::kLastTradeQuantity, cm::mbp::kVolumeTradedToday,
                                                 cm::mbp::kLastTradeTime};

// Capital-market tokens are 16-bit: at most 65,536 of them.
constexpr int kCacheSlotsLog2 = 17;

// Codes the capital-market feed carries that are dropped without a trace.
bool Ignored(int code) {
  switch (code) {
    case 1833: case 1836: case 6013: case 6501: case 6511: case 6521: case 6531: case 6541:
    case 6571: case 6581: case 6582: case 7200: case 7206: case 7210: case 7211: case 7214:
    case 7215: case 7216: case 7306: case 7320: case 9010: case 9011:
      return true;
    default:
      return false;
  }
}

}  // namespace

NcmDecoder::NcmDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                       IndustryIndexCounters& industryIndex)
    : context_(context),
      instruments_(instruments),
      out_(out),
      industryIndex_(industryIndex),
      records_(instruments, kSegment, kCacheSlotsLog2),
      lines_(out, context.options.bcastDelta, kSegment, true),
      packet_(kSegmentCodeCm, kDivisorCm) {}

std::uint32_t NcmDecoder::Count(int code) const {
  switch (code) {
    case cm::mw::kCode: return Read(counts_[kMarketWatch]);
    case cm::ticker::kCode: return Read(counts_[kTicker]);
    case cm::industry::kCode: return Read(industryIndex_.cm);
    case cm::indices::kCode: return Read(counts_[kIndices]);
    case cm::mbp::kCode: return Read(counts_[kMarketByPrice]);
    case cm::security::kCode: return Read(counts_[kSecurityUpdate]);
    default: return 0;
  }
}

void NcmDecoder::Decode(std::uint8_t* message, int length) {
  length = std::max(length, 0);
  lines_.Clear();
  packet_.Clear();
  Bump(total_);
  head_.Take(message, length);

  const int code = head_.TransactionCode();
  switch (code) {
    case cm::mw::kCode: MarketWatch(message, length); break;
    case cm::ticker::kCode: Ticker(message, length); break;
    case cm::industry::kCode: IndustryIndex(message, length); break;
    case cm::indices::kCode: Indices(message, length); break;
    case cm::mbp::kCode: MarketByPrice(message, length); break;
    case cm::security::kCode: SecurityUpdate(message, length); break;
    default:
      if (!Ignored(code)) Unhandled(code);
      break;
  }

  if (packet_.Length() > 0) out_.SendToBridges(kSegment, packet_.Length(), packet_.Bytes());
  lines_.Send();
}

void NcmDecoder::CountAndShow(Counter& counter, int rowCode) {
  const std::uint32_t n = Bump(counter);
  if (context_.options.pktCounters.load(std::memory_order_relaxed) == 1) {
    context_.grid.SetCounterCell(rowCode, n, CounterGrid::kCashColumn);
  }
}

void NcmDecoder::ReportChange(std::int32_t token, std::int32_t value) {
  const int r = records_.UpdateLastValue(token, value);
  if (r == 0) return;
  char item[kChangeItemSize];
  const int n = FormatChangeItem(item, token, value);
  lines_.AppendChange(item, n, r == 1);
}

void NcmDecoder::BuildPacket(const std::uint8_t* work, int workLength, int packetLength) {
  if (context_.options.ctcl.load(std::memory_order_relaxed) != 1 || !out_.BridgeConnected()) return;
  packet_.Build(head_.bytes, work, workLength, packetLength);
}

void NcmDecoder::MarketWatch(std::uint8_t* message, int length) {
  namespace L = cm::mw;
  CountAndShow(counts_[kMarketWatch], L::kCode);
  const int records = ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(message, length);
  const bool counters = context_.options.pktCounters.load(std::memory_order_relaxed) == 1;
  const bool delta = context_.options.bcastDelta.load(std::memory_order_relaxed) != 0;
  if (counters || delta) {
    const std::uint8_t* r = message + records::kRecordsAt;
    for (int i = 0; i < records; ++i, r += L::kRecordSize) {
      const int token = Load16(r + L::kToken);
      if (counters && token == kWatchedToken) ShowMarketWatch(context_.grid, r, kMarketWatchView);
      if (delta) ReportChange(token, Load32(r + L::kLastTradedPrice0));
    }
  }
  BuildPacket(message, length, L::kPacketLength);
}

void NcmDecoder::Ticker(std::uint8_t* message, int length) {
  namespace L = cm::ticker;
  CountAndShow(counts_[kTicker], L::kCode);
  const int records = ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(message, length);
  const bool counters = context_.options.pktCounters.load(std::memory_order_relaxed) == 1;
  const bool delta = context_.options.bcastDelta.load(std::memory_order_relaxed) != 0;
  if (counters || delta) {
    const std::uint8_t* r = message + records::kRecordsAt;
    for (int i = 0; i < records; ++i, r += L::kRecordSize) {
      const int token = Load16(r + L::kToken);
      if (counters && token == kWatchedToken) ShowTicker(context_.grid, r, kTickerView);
      if (delta && Load16(r + L::kMarketType) == 1) ReportChange(token, Load32(r + L::kFillPrice));
    }
  }
  BuildPacket(message, length, L::kPacketLength);
}

void NcmDecoder::IndustryIndex(const std::uint8_t* message, int length) {
  namespace L = cm::industry;
  CountAndShow(industryIndex_.cm, L::kCode);
  const int n = std::min(length, L::kMessageLength);
  std::memcpy(copy_, message, static_cast<std::size_t>(n));
  ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(copy_, n);
  BuildPacket(copy_, n, L::kPacketLength);
}

void NcmDecoder::Indices(const std::uint8_t* message, int length) {
  namespace L = cm::indices;
  CountAndShow(counts_[kIndices], L::kCode);
  const int n = std::min(length, L::kMessageLength);
  std::memcpy(copy_, message, static_cast<std::size_t>(n));
  ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(copy_, n);
  BuildPacket(copy_, n, L::kPacketLength);
}

void NcmDecoder::MarketByPrice(std::uint8_t* message, int length) {
  namespace L = cm::mbp;
  CountAndShow(counts_[kMarketByPrice], L::kCode);
  const int records = ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(message, length);
  const bool counters = context_.options.pktCounters.load(std::memory_order_relaxed) == 1;
  const bool delta = context_.options.bcastDelta.load(std::memory_order_relaxed) != 0;
  if (counters || delta) {
    const std::uint8_t* r = message + records::kRecordsAt;
    for (int i = 0; i < records; ++i, r += L::kRecordSize) {
      const int token = Load16(r + L::kToken);
      if (counters && token == kWatchedToken) {
        ShowMarketByPrice(context_.grid, r, kMarketByPriceView);
        SetViewDouble(context_.grid, view::kTotals, view::kCol1, LoadDouble(r + L::kTotalBuyQuantity));
        SetViewDouble(context_.grid, view::kTotals, view::kCol2, LoadDouble(r + L::kTotalSellQuantity));
      }
      if (delta && Load16(r + L::kTradingStatus) == 2 && Load16(r + L::kBookType) == 1) {
        ReportChange(token, Load32(r + L::kLastTradedPrice));
      }
    }
  }
  BuildPacket(message, length, L::kPacketLength);
}

void NcmDecoder::SecurityUpdate(const std::uint8_t* message, int length) {
  namespace L = cm::security;
  CountAndShow(counts_[kSecurityUpdate], L::kCode);
  const int n = std::min(length, L::kMessageLength);
  if (n < L::kSeries + L::kSeriesSize) return;  // the fields read did not arrive
  std::memcpy(copy_, message, static_cast<std::size_t>(n));
  ConvertFields<L::kConverted>(copy_);
  const int token = Load16(copy_ + L::kToken);

  char key[InstrumentMap::kKeySize];
  const std::size_t keyLength = InstrumentMap::FormatKey(key, kSegment, token);
  bool created = false;
  instruments_.FindOrCreate(std::string_view(key, keyLength), token, std::string_view(""), &created);
  if (!created) return;

  char item[100];
  const char* text = reinterpret_cast<const char*>(copy_);
  const int itemLength = std::snprintf(item, sizeof item, ",%d|1:%d:%.10s:0:0:%.2s", token, token,
                                       text + L::kSymbol, text + L::kSeries);
  if (itemLength > 0) lines_.AppendSubscribed(item, std::min<int>(itemLength, sizeof item - 1));
}

void NcmDecoder::Unhandled(int code) {
  if (!reported_.Add(code)) return;
  context_.log.LogFormat("FH : CM : Unhandedled TrxCode CM : %d\n", code);
}

namespace {
void DecodeNcm(void* decoder, std::uint8_t* message, int length) {
  static_cast<NcmDecoder*>(decoder)->Decode(message, length);
}
}  // namespace

DecoderEntry MakeDecoderEntry(NcmDecoder& decoder) { return DecoderEntry{&DecodeNcm, &decoder}; }

}  // namespace fh::nse
