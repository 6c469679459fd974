#include "sim/nse_feed.h"

#include <algorithm>
#include <cstdio>

#include "nse/layouts.h"

namespace fh::sim {

namespace {

// Codes of the mix that no layout header names: journal and status messages
// the decoders count or ignore, and one the capital market does not handle.
constexpr int kGeneralMessage = 6501;
constexpr int kOrderCancelGroup = 6571;
constexpr int kMarketOpen = 7200;
constexpr int kMarketStatus = 9011;
constexpr int kUnhandledInCm = 7309;
// Message lengths of the codes that no layout sizes.
constexpr int kOtherMessageLength = 120;
constexpr int kContractMessageLength = 298;

constexpr int kBookTypeRegular = 1;
constexpr int kTradingStatusOpen = 2;
constexpr int kMarketTypeNormal = 1;

void Begin(Effects* fx, int segment, int code) {
  *fx = Effects{};
  fx->segment = segment;
  fx->code = code;
  fx->forwardedLength = nse::ForwardedPacketLength(segment, code);
}

}  // namespace

NseSegmentFeed::NseSegmentFeed(int segment, int tokens, std::uint32_t seed)
    : segment_(segment), rng_(FeedSeed(seed, segment)) {
  universe_ = MakeUniverse(segment, tokens, rng_);
  using namespace nse;
  if (segment == 1) {
    mix_ = {{code::kMarketByPrice, 34}, {code::kTicker, 28}, {code::kMarketWatch, 12}, {code::kIndices, 4},
            {code::kIndustryIndex, 4}, {code::kSecurityUpdate, 3}, {kMarketOpen, 2}, {kGeneralMessage, 2},
            {kMarketStatus, 2}, {kUnhandledInCm, 1}};
  } else if (segment == 2) {
    mix_ = {{code::kMarketByPrice, 30}, {code::kTicker, 26}, {code::kMarketWatch, 10},
            {code::kSpreadMarketByPrice, 6}, {code::kIndices, 3}, {code::kIndustryIndex, 2},
            {code::kSecurityUpdate, 3}, {code::kValue7732, 2}, {code::kValue7733, 2}, {code::kPairs7130, 2},
            {kGeneralMessage, 2}, {kOrderCancelGroup, 1}, {kMarketOpen, 2}, {kMarketStatus, 2}};
  } else {
    mix_ = {{code::kMarketByPrice, 30}, {code::kTicker, 26}, {code::kMarketWatch, 10},
            {code::kSpreadMarketByPrice, 6}, {code::kCd7213, 6}, {code::kSecurityUpdate, 3},
            {kGeneralMessage, 2}, {kMarketOpen, 2}, {kMarketStatus, 2}};
  }
  for (const auto& [c, w] : mix_) totalWeight_ += w;
  logTime_ = 1'000'000;
}

Instrument& NseSegmentFeed::Pick() {
  // A few instruments trade far more than the rest.
  const int n = static_cast<int>(universe_.size());
  const int hot = std::max(1, n / 5);
  const int i = Uniform(rng_, 0, 99) < 60 ? Uniform(rng_, 0, hot - 1) : Uniform(rng_, 0, n - 1);
  return universe_[static_cast<std::size_t>(i)];
}

Instrument& NseSegmentFeed::Trade() {
  Instrument& in = Pick();
  WalkPrice(in, rng_);
  in.volume += Uniform(rng_, 1, 500);
  return in;
}

int NseSegmentFeed::StartRecords(NseMessage& m, int fewest, int most) {
  const int records = Uniform(rng_, fewest, most);
  m.Put16(nse::records::kNoOfRecords, records);
  return records;
}

NseMessage NseSegmentFeed::Next(Effects* fx) { return Make(PickWeighted(rng_, mix_, totalWeight_), fx); }

NseMessage NseSegmentFeed::Make(int code, Effects* fx) {
  Begin(fx, segment_, code);
  NseMessage m = [&] {
    switch (code) {
      case nse::code::kMarketByPrice: return MarketByPrice(fx);
      case nse::code::kTicker: return Ticker(fx);
      case nse::code::kMarketWatch: return MarketWatch(fx);
      case nse::code::kIndices: return Indices(fx);
      case nse::code::kIndustryIndex: return IndustryIndex(fx);
      case nse::code::kSpreadMarketByPrice: return Spread(fx);
      case nse::code::kSecurityUpdate: return Update(fx);
      case nse::code::kValue7732:
      case nse::code::kValue7733:
      case nse::code::kCd7213: return Value(code, fx);
      case nse::code::kPairs7130: return Pairs(fx);
      default: return Other(code, fx);
    }
  }();
  logTime_ += Uniform(rng_, 0, 2);
  m.SetLogTime(logTime_);
  m.SetAlphaChar(segment_ == 1 ? "CM" : segment_ == 2 ? "FO" : "CD");
  return m;
}

NseMessage NseSegmentFeed::MarketByPrice(Effects* fx) {
  using namespace nse;
  const bool cm = segment_ == 1;
  const int recordSize = cm ? cm::mbp::kRecordSize : fo::mbp::kRecordSize;
  NseMessage m(code::kMarketByPrice, cm ? cm::mbp::kMessageLength : fo::mbp::kMessageLength);
  const int records = StartRecords(m, 1, cm ? cm::mbp::kCapacity : fo::mbp::kCapacity);
  for (int r = 0; r < records; ++r) {
    Instrument& in = Trade();
    const int at = records::kRecordsAt + r * recordSize;
    const int shift = cm ? 0 : fo::mbp::kShift;
    const int status = Uniform(rng_, 0, 9) < 9 ? kTradingStatusOpen : 1;
    const int book = Uniform(rng_, 0, 19) < 19 ? kBookTypeRegular : 2;
    if (cm) {
      m.Put16(at + cm::mbp::kToken, in.token);
    } else {
      m.Put32(at + fo::mbp::kToken, in.token);
    }
    m.Put16(at + cm::mbp::kBookType + shift, book);
    m.Put16(at + cm::mbp::kTradingStatus + shift, status);
    m.Put32(at + cm::mbp::kVolumeTradedToday + shift, in.volume);
    m.Put32(at + cm::mbp::kLastTradedPrice + shift, in.price);
    m.Put32(at + cm::mbp::kLastTradeQuantity + shift, Uniform(rng_, 1, 500));
    m.Put32(at + cm::mbp::kLastTradeTime + shift, logTime_);
    m.Put32(at + cm::mbp::kAverageTradePrice + shift, in.price - in.tick);
    for (int k = 0; k < cm::mbp::kMbpInfoCount; ++k) {
      const int e = at + cm::mbp::kMbpInfoAt + shift + k * cm::mbp::kMbpInfoSize;
      const bool sell = k >= cm::mbp::kMbpSellAt;
      const int level = sell ? k - cm::mbp::kMbpSellAt : k;
      m.Put32(e + mbpinfo::kQuantity, Uniform(rng_, 1, 200) * 25);
      m.Put32(e + mbpinfo::kPrice, in.price + (sell ? 1 : -1) * (level + 1) * in.tick);
      m.Put16(e + mbpinfo::kNumberOfOrders, Uniform(rng_, 1, 40));
      m.Put16(e + mbpinfo::kBbBuySellFlag, 0);
    }
    m.PutDouble(at + cm::mbp::kTotalBuyQuantity + shift, static_cast<double>(Uniform(rng_, 1000, 900000)));
    m.PutDouble(at + cm::mbp::kTotalSellQuantity + shift, static_cast<double>(Uniform(rng_, 1000, 900000)));
    m.Put32(at + cm::mbp::kClosingPrice + shift, in.price - 10 * in.tick);
    m.Put32(at + cm::mbp::kOpenPrice + shift, in.price - 4 * in.tick);
    m.Put32(at + cm::mbp::kHighPrice + shift, in.price + 20 * in.tick);
    m.Put32(at + cm::mbp::kLowPrice + shift, in.price - 20 * in.tick);
    if (status == kTradingStatusOpen && book == kBookTypeRegular) AddReport(fx, in.token, in.price);
  }
  return m;
}

NseMessage NseSegmentFeed::Ticker(Effects* fx) {
  using namespace nse;
  const bool cm = segment_ == 1;
  NseMessage m(code::kTicker, cm ? cm::ticker::kMessageLength : fo::ticker::kMessageLength);
  const int capacity = cm ? cm::ticker::kCapacity : fo::ticker::kCapacity;
  const int records = StartRecords(m, capacity / 4, capacity);
  for (int r = 0; r < records; ++r) {
    Instrument& in = Trade();
    const int marketType = Uniform(rng_, 0, 9) < 9 ? kMarketTypeNormal : 2;
    const int fillVolume = Uniform(rng_, 1, 1000);
    if (cm) {
      const int at = records::kRecordsAt + r * cm::ticker::kRecordSize;
      m.Put16(at + cm::ticker::kToken, in.token);
      m.Put16(at + cm::ticker::kMarketType, marketType);
      m.Put32(at + cm::ticker::kFillPrice, in.price);
      m.Put32(at + cm::ticker::kFillVolume, fillVolume);
      m.Put32(at + cm::ticker::kMarketIndexValue, 2'200'000 + Uniform(rng_, -5000, 5000));
    } else {
      const int at = records::kRecordsAt + r * fo::ticker::kRecordSize;
      m.Put32(at + fo::ticker::kToken, in.token);
      m.Put16(at + fo::ticker::kMarketType, marketType);
      m.Put32(at + fo::ticker::kFillPrice, in.price);
      m.Put32(at + fo::ticker::kFillVolume, fillVolume);
      m.Put32(at + fo::ticker::kOpenInterest, in.volume * 3);
      m.Put32(at + fo::ticker::kDayHighOpenInterest, in.volume * 4);
      m.Put32(at + fo::ticker::kDayLowOpenInterest, in.volume * 2);
    }
    if (marketType == kMarketTypeNormal) AddReport(fx, in.token, in.price);
  }
  return m;
}

NseMessage NseSegmentFeed::MarketWatch(Effects* fx) {
  using namespace nse;
  const bool cm = segment_ == 1;
  const int recordSize = cm ? cm::mw::kRecordSize : fo::mw::kRecordSize;
  const int marketsAt = cm ? cm::mw::kMarketsAt : fo::mw::kMarketsAt;
  NseMessage m(code::kMarketWatch, cm ? cm::mw::kMessageLength : fo::mw::kMessageLength);
  const int records = StartRecords(m, 1, cm ? cm::mw::kCapacity : fo::mw::kCapacity);
  for (int r = 0; r < records; ++r) {
    Instrument& in = Trade();
    const int at = records::kRecordsAt + r * recordSize;
    if (cm) {
      m.Put16(at + cm::mw::kToken, in.token);
    } else {
      m.Put32(at + fo::mw::kToken, in.token);
      m.Put32(at + fo::mw::kOpenInterest, in.volume * 3);
    }
    for (int k = 0; k < cm::mw::kMarkets; ++k) {
      const int b = at + marketsAt + k * cm::mw::kMarketSize;
      const std::int32_t ltp = k == 0 ? in.price : in.price + k * in.tick;
      m.Put16(b + cm::mw::kIndicator, k == 0 ? 1 : 0);
      m.Put32(b + cm::mw::kBuyVolume, Uniform(rng_, 1, 5000));
      m.Put32(b + cm::mw::kBuyPrice, ltp - in.tick);
      m.Put32(b + cm::mw::kSellVolume, Uniform(rng_, 1, 5000));
      m.Put32(b + cm::mw::kSellPrice, ltp + in.tick);
      m.Put32(b + cm::mw::kLastTradedPrice, ltp);
      m.Put32(b + cm::mw::kLastTradeTime, logTime_);
    }
    AddReport(fx, in.token, in.price);
  }
  return m;
}

NseMessage NseSegmentFeed::Indices(Effects*) {
  using namespace nse;
  static constexpr const char* kIndexNames[] = {"Nifty 50", "Nifty Bank", "Nifty IT", "India VIX", "Nifty Next 50",
                                                "Nifty Midcap 100"};
  NseMessage m(code::kIndices, cm::indices::kMessageLength);
  const int records = StartRecords(m, 1, cm::indices::kCapacity);
  for (int r = 0; r < records; ++r) {
    const int at = records::kRecordsAt + r * cm::indices::kRecordSize;
    const std::int32_t v = 2'200'000 + Uniform(rng_, -50'000, 50'000);
    m.PutText(at + cm::indices::kName, kIndexNames[r], cm::indices::kNameSize);
    m.Put32(at + cm::indices::kIndexValue, v);
    m.Put32(at + cm::indices::kHighIndexValue, v + 1000);
    m.Put32(at + cm::indices::kLowIndexValue, v - 1000);
    m.Put32(at + cm::indices::kOpeningIndex, v - 200);
    m.Put32(at + cm::indices::kClosingIndex, v - 300);
    m.Put32(at + cm::indices::kPercentChange, Uniform(rng_, -300, 300));
    m.Put32(at + cm::indices::kYearlyHigh, v + 100'000);
    m.Put32(at + cm::indices::kYearlyLow, v - 100'000);
    m.Put32(at + cm::indices::kNoOfUpMoves, Uniform(rng_, 0, 50));
    m.Put32(at + cm::indices::kNoOfDownMoves, Uniform(rng_, 0, 50));
    m.PutDouble(at + cm::indices::kMarketCapitalisation, 1.5e13 + Uniform(rng_, 0, 1'000'000));
  }
  return m;
}

NseMessage NseSegmentFeed::IndustryIndex(Effects*) {
  using namespace nse;
  const bool cm = segment_ == 1;
  NseMessage m(code::kIndustryIndex, cm ? cm::industry::kMessageLength : fo::industry::kMessageLength);
  const int records = StartRecords(m, 1, 3);
  for (int r = 0; r < records; ++r) {
    char name[24];
    std::snprintf(name, sizeof name, "INDUSTRY %d", Uniform(rng_, 1, 40));
    const std::int32_t v = Uniform(rng_, 100'000, 900'000);
    if (cm) {
      const int at = records::kRecordsAt + r * cm::industry::kRecordSize;
      m.PutText(at + cm::industry::kName, name, cm::industry::kNameSize);
      m.Put32(at + cm::industry::kIndexValue, v);
    } else {
      const int at = records::kRecordsAt + r * fo::industry::kRecordSize;
      m.PutText(at + fo::industry::kName, name, fo::industry::kNameSize);
      m.Put32(at + fo::industry::kIndexValue, v);
    }
  }
  return m;
}

NseMessage NseSegmentFeed::Spread(Effects*) {
  using namespace nse::fo;
  NseMessage m(spread::kCode, spread::kMessageLength);
  Instrument& a = Pick();
  Instrument& b = Pick();
  m.Put32(spread::kToken1, a.token);
  m.Put32(spread::kToken2, b.token);
  m.Put16(spread::kBuyDepthCount, spread::kLevels);
  m.Put16(spread::kSellDepthCount, spread::kLevels);
  m.Put32(spread::kLastActiveTime, logTime_);
  m.Put32(spread::kTradedVolume, a.volume);
  m.PutDouble(spread::kTotalTradedValue, static_cast<double>(a.volume) * 100.0);
  for (int j = 0; j < spread::kLevels; ++j) {
    m.Put16(spread::kBuyLevelsAt + j * spread::kLevelSize + spread::kLevelOrders, Uniform(rng_, 1, 9));
    m.Put32(spread::kBuyLevelsAt + j * spread::kLevelSize + spread::kLevelVolume, Uniform(rng_, 1, 900));
    m.Put32(spread::kBuyLevelsAt + j * spread::kLevelSize + spread::kLevelPrice, (j + 1) * -a.tick);
    m.Put16(spread::kSellLevelsAt + j * spread::kLevelSize + spread::kLevelOrders, Uniform(rng_, 1, 9));
    m.Put32(spread::kSellLevelsAt + j * spread::kLevelSize + spread::kLevelVolume, Uniform(rng_, 1, 900));
    m.Put32(spread::kSellLevelsAt + j * spread::kLevelSize + spread::kLevelPrice, (j + 1) * a.tick);
  }
  m.PutDouble(spread::kTotalBuyQuantity, 5000.0);
  m.PutDouble(spread::kTotalSellQuantity, 6000.0);
  m.Put32(spread::kLastTradedPriceDifference, a.tick);
  m.Put32(spread::kLastUpdateTime, logTime_);
  return m;
}

NseMessage NseSegmentFeed::Update(Effects*) {
  using namespace nse;
  Instrument& in = Pick();
  if (segment_ == 1) {
    NseMessage m(cm::security::kCode, cm::security::kMessageLength);
    m.Put16(cm::security::kToken, in.token);
    m.PutText(cm::security::kSymbol, in.symbol, cm::security::kSymbolSize);
    m.PutText(cm::security::kSeries, "EQ", cm::security::kSeriesSize);
    return m;
  }
  NseMessage m(fo::contract::kCode, kContractMessageLength);
  m.Put32(fo::contract::kToken, in.token);
  m.PutText(fo::contract::kInstrumentName, segment_ == 2 ? "OPTSTK" : "FUTCUR", 6);
  m.PutText(fo::contract::kSymbol, in.symbol, fo::contract::kSymbolSize);
  m.PutText(fo::contract::kSeries, "  ", 2);
  m.Put32(fo::contract::kExpiryDate, 1'400'000'000 + Uniform(rng_, 0, 90) * 86400);
  m.Put32(fo::contract::kStrikePrice, segment_ == 2 ? in.price : -1);
  m.PutText(fo::contract::kOptionType, segment_ == 2 ? "CE" : "XX", fo::contract::kOptionTypeSize);
  return m;
}

NseMessage NseSegmentFeed::Value(int code, Effects* fx) {
  using namespace nse;
  Instrument& in = Trade();
  int length = cd::v7213::kMessageLength;
  int tokenAt = cd::v7213::kToken;
  int valueAt = cd::v7213::kValue;
  if (code == fo::v7732::kCode) {
    length = fo::v7732::kEnd;
    tokenAt = fo::v7732::kToken;
    valueAt = fo::v7732::kValue;
  } else if (code == fo::v7733::kCode) {
    length = fo::v7733::kEnd;
    tokenAt = fo::v7733::kToken;
    valueAt = fo::v7733::kValue;
  }
  NseMessage m(code, length);
  m.Put32(tokenAt, in.token);
  // The value these messages carry walks with the instrument too.
  const std::int32_t value = in.price / 2 + in.volume % 97;
  m.Put32(valueAt, value);
  AddReport(fx, in.token, value);
  return m;
}

NseMessage NseSegmentFeed::Pairs(Effects*) {
  using namespace nse::fo;
  const int entries = Uniform(rng_, 1, 20);
  NseMessage m(pairs7130::kCode, pairs7130::kEntriesAt + entries * pairs7130::kEntrySize);
  m.SetErrorCode(entries);
  for (int e = 0; e < entries; ++e) {
    const int at = pairs7130::kEntriesAt + e * pairs7130::kEntrySize;
    m.Put32(at, Pick().token);
    m.Put32(at + 4, Uniform(rng_, 0, 100000));
  }
  return m;
}

NseMessage NseSegmentFeed::Other(int code, Effects*) {
  NseMessage m(code, kOtherMessageLength);
  m.PutText(nse::header::kBodyAt, "SIMULATED EXCHANGE MESSAGE", kOtherMessageLength - nse::header::kBodyAt);
  return m;
}

NseDatagramSource::NseDatagramSource(NseSegmentFeed& feed, int plainPercent, int fixedSize)
    : feed_(feed),
      plainPercent_(plainPercent),
      fixedSize_(fixedSize),
      builder_(NetIdOfSegment(feed.segment())) {}

std::span<const std::uint8_t> NseDatagramSource::Next(Ledger* ledger, int* messages) {
  builder_.Reset();
  const int target = Uniform(feed_.rng(), 1, 6);
  int added = 0;
  while (added < target) {
    if (!havePending_) {
      pending_ = feed_.Next(&pendingFx_);
      havePending_ = true;
    }
    const bool compress = Uniform(feed_.rng(), 0, 99) >= plainPercent_;
    if (!builder_.Add(pending_.plain(), compress, lzo_)) {
      if (added > 0) break;
      // Alone in a datagram it must fit plain; drop a message that cannot.
      if (!builder_.Add(pending_.plain(), false, lzo_)) {
        havePending_ = false;
        continue;
      }
    }
    if (ledger != nullptr) ledger->Commit(pendingFx_);
    if (observer_) observer_(pending_, pendingFx_);
    havePending_ = false;
    ++added;
  }
  if (fixedSize_ > 0) builder_.PadTo(fixedSize_);
  if (ledger != nullptr) ledger->CountDatagram(feed_.segment(), builder_.size());
  if (messages != nullptr) *messages = added;
  return builder_.bytes();
}

}  // namespace fh::sim
