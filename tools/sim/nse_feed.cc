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

// A code of today's capital-market wire that no decoder table holds (security
// status): it takes the place of 7309 in today's mix.
constexpr int kUnhandledInCmToday = 18707;

constexpr int kBookTypeRegular = 1;
constexpr int kTradingStatusOpen = 2;
constexpr int kMarketTypeNormal = 1;

void Begin(Effects* fx, int segment, int code) {
  *fx = Effects{};
  fx->segment = segment;
  fx->code = code;
  fx->forwardedLength = nse::ForwardedPacketLength(segment, code);
}

// Lifts a count above 2^32, where only today's 8-byte fields can hold it.
constexpr std::int64_t Wide(std::int64_t count) { return (std::int64_t{1} << 32) + count; }

// Whether form is one of today's: today's own codes, or today's layout of a
// code that has two (capital market 7201 and 7208, F&O 7201). The currency
// segment has none.
bool IsTodays(int segment, NseForm form) {
  using namespace nse::code;
  if (segment == 3) return false;
  switch (form.code) {
    case kMarketWatch17201: case kTicker17202: case kMarketByPrice17208: case kSpread17211:
    case kOpenInterest17130: case kTicker18703: case kSecurityUpdate18720: return true;
    case kMarketWatch: return form.today;
    case kMarketByPrice: return form.today && segment == 1;
    default: return false;
  }
}

// Today's forms a Bridge receives as packets (18720 and 17130 it does not).
bool ForwardsTodays(int code) {
  return code != nse::code::kSecurityUpdate18720 && code != nse::code::kOpenInterest17130;
}

// One slot of a segment's mix: the classic form, the form that replaced it on
// today's wire (code 0: unchanged), and for F&O 7201 the form of the years
// between (9.43's 17201, sent only in the mixed wire).
struct MixSlot {
  NseForm classic;
  NseForm successor{};
  int weight = 0;
  NseForm between{};
};

std::vector<std::pair<NseForm, int>> MakeMix(int segment, Wire wire) {
  using namespace nse::code;
  constexpr NseForm kToday7201{kMarketWatch, true}, kToday7208{kMarketByPrice, true};
  std::vector<MixSlot> slots;
  if (segment == 1) {
    slots = {{{kMarketByPrice}, kToday7208, 34}, {{kTicker}, {kTicker18703}, 28}, {{kMarketWatch}, kToday7201, 12},
             {{kIndices}, {}, 4}, {{kIndustryIndex}, {}, 4}, {{kSecurityUpdate}, {kSecurityUpdate18720}, 3},
             {{kMarketOpen}, {}, 2}, {{kGeneralMessage}, {}, 2}, {{kMarketStatus}, {}, 2},
             {{kUnhandledInCm}, {kUnhandledInCmToday}, 1}};
  } else if (segment == 2) {
    slots = {{{kMarketByPrice}, {kMarketByPrice17208}, 30}, {{kTicker}, {kTicker17202}, 26},
             {{kMarketWatch}, kToday7201, 10, {kMarketWatch17201}}, {{kSpreadMarketByPrice}, {kSpread17211}, 6},
             {{kIndices}, {}, 3}, {{kIndustryIndex}, {}, 2}, {{kSecurityUpdate}, {}, 3}, {{kValue7732}, {}, 2},
             {{kValue7733}, {}, 2}, {{kPairs7130}, {kOpenInterest17130}, 2}, {{kGeneralMessage}, {}, 2},
             {{kOrderCancelGroup}, {}, 1}, {{kMarketOpen}, {}, 2}, {{kMarketStatus}, {}, 2}};
  } else {
    slots = {{{kMarketByPrice}, {}, 30}, {{kTicker}, {}, 26}, {{kMarketWatch}, {}, 10},
             {{kSpreadMarketByPrice}, {}, 6}, {{kCd7213}, {}, 6}, {{kSecurityUpdate}, {}, 3},
             {{kGeneralMessage}, {}, 2}, {{kMarketOpen}, {}, 2}, {{kMarketStatus}, {}, 2}};
  }
  std::vector<std::pair<NseForm, int>> mix;
  for (const MixSlot& s : slots) {
    const bool replaced = s.successor.code != 0;
    if (wire == Wire::kClassic || !replaced) {
      // The mixed wire doubles every weight, so a slot split in two keeps its share.
      mix.emplace_back(s.classic, wire == Wire::kMixed ? 2 * s.weight : s.weight);
    } else if (wire == Wire::kToday) {
      mix.emplace_back(s.successor, s.weight);
    } else if (s.between.code == 0) {
      mix.emplace_back(s.classic, s.weight);
      mix.emplace_back(s.successor, s.weight);
    } else {  // three forms share the doubled weight
      const int third = 2 * s.weight / 3;
      mix.emplace_back(s.classic, third);
      mix.emplace_back(s.between, third);
      mix.emplace_back(s.successor, 2 * s.weight - 2 * third);
    }
  }
  return mix;
}

}  // namespace

std::optional<Wire> ParseWire(std::string_view text) {
  for (Wire w : {Wire::kClassic, Wire::kToday, Wire::kMixed}) {
    if (text == WireName(w)) return w;
  }
  return std::nullopt;
}

const char* WireName(Wire wire) {
  switch (wire) {
    case Wire::kToday: return "today";
    case Wire::kMixed: return "mixed";
    default: return "classic";
  }
}

NseSegmentFeed::NseSegmentFeed(int segment, int tokens, std::uint32_t seed, Wire wire)
    : segment_(segment), wire_(wire), rng_(FeedSeed(seed, segment)) {
  universe_ = MakeUniverse(segment, tokens, rng_, segment == 1 && wire == Wire::kToday);
  mix_ = MakeMix(segment, wire);
  for (const auto& [form, w] : mix_) totalWeight_ += w;
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

NseMessage NseSegmentFeed::Make(NseForm form, Effects* fx) {
  const int code = form.code;
  Begin(fx, segment_, code);
  const bool today = IsTodays(segment_, form);
  NseMessage m = today ? TodaysForm(code, fx) : [&] {
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
  // Today's forms forward as much of the message as its header announces.
  if (today) {
    fx->forwardedLength =
        ForwardsTodays(code) ? nse::PacketLengthOfMessageLength(nse::WireLength(m.messageLength())) : 0;
  }
  logTime_ += Uniform(rng_, 0, 2);
  m.SetLogTime(logTime_);
  if (today && code == nse::cm::security18720::kCode) {
    // The security master change carries the symbol's first two characters.
    m.SetAlphaChar(std::string_view(reinterpret_cast<const char*>(m.message()) + nse::cm::security18720::kSymbol, 2));
  } else {
    m.SetAlphaChar(segment_ == 1 ? "CM" : segment_ == 2 ? "FO" : "CD");
  }
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

NseMessage NseSegmentFeed::Update(Effects* fx) {
  using namespace nse;
  Instrument& in = Pick();
  fx->announced = in.token;
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

// ---------------------------------------------------------------------------
// Today's forms: 4-byte tokens, and counts of volume, quantity and open
// interest above 2^32 wherever the field is 8 bytes wide (prices stay 4).

namespace {

// A market block of a market-watch record: the classic 26 bytes (4-byte
// volumes) or today's 34 (8-byte volumes).
struct MarketBlock {
  int size, indicator, buyVolume, buyPrice, sellVolume, sellPrice, lastTradedPrice, lastTradeTime, volumeWidth;
};
constexpr MarketBlock kClassicBlock{nse::market::kSize, nse::market::kIndicator, nse::market::kBuyVolume,
                                    nse::market::kBuyPrice, nse::market::kSellVolume, nse::market::kSellPrice,
                                    nse::market::kLastTradedPrice, nse::market::kLastTradeTime, 4};
constexpr MarketBlock kWideBlock{nse::wideMarket::kSize, nse::wideMarket::kIndicator, nse::wideMarket::kBuyVolume,
                                 nse::wideMarket::kBuyPrice, nse::wideMarket::kSellVolume, nse::wideMarket::kSellPrice,
                                 nse::wideMarket::kLastTradedPrice, nse::wideMarket::kLastTradeTime, 8};

void PutCount(NseMessage& m, int offset, int width, std::int64_t value) {
  if (width == 8) {
    m.Put64(offset, value);
  } else {
    m.Put32(offset, static_cast<std::int32_t>(value));
  }
}

// Fields of CM 18720 beyond the token, symbol and series the decoder reads
// (message offsets), filled so the message reads like the exchange's.
namespace security18720 {
constexpr int kInstrumentType = 54;    // 2 bytes
constexpr int kPermittedToTrade = 56;  // 2 bytes
constexpr int kIssuedCapital = 58;     // 8 bytes, double
constexpr int kBoardLotQuantity = 128; // 4 bytes
constexpr int kTickSize = 132;         // 4 bytes
constexpr int kName = 136;             // 25 characters
constexpr int kNameSize = 25;
constexpr int kLocalUpdateTime = 202;  // 4 bytes
constexpr int kFaceValue = 232;        // 4 bytes
constexpr int kIsin = 236;             // 12 characters
constexpr int kIsinSize = 12;
}  // namespace security18720

}  // namespace

NseMessage NseSegmentFeed::TodaysForm(int code, Effects* fx) {
  using namespace nse::code;
  switch (code) {
    case kMarketWatch:
    case kMarketWatch17201: return MarketWatchToday(code, fx);
    case kTicker18703:
    case kTicker17202: return TickerToday(code, fx);
    case kMarketByPrice:
    case kMarketByPrice17208: return MarketByPriceToday(code, fx);
    case kSpread17211: return SpreadToday(fx);
    case kSecurityUpdate18720: return SecurityUpdateToday(fx);
    case kOpenInterest17130: return OpenInterestToday(fx);
    default: return Other(code, fx);
  }
}

void NseSegmentFeed::MaybeTrim(NseMessage& m, int recordsAt, int records, int recordSize) {
  if (wire_ == Wire::kMixed && Uniform(rng_, 0, 3) == 0) m.TrimTo(recordsAt + records * recordSize);
}

// CM 7201 (466), F&O 7201 (498) and F&O 17201 (492): every record reports
// market 0's last traded price.
NseMessage NseSegmentFeed::MarketWatchToday(int code, Effects* fx) {
  using namespace nse;
  struct Shape {
    int recordSize, capacity, messageLength, marketsAt, openInterest;  // openInterest -1: none
    MarketBlock block;
  };
  const Shape s = code == fo::mw17201::kCode
                      ? Shape{fo::mw17201::kRecordSize, fo::mw17201::kCapacity, fo::mw17201::kMessageLength,
                              fo::mw17201::kMarketsAt, fo::mw17201::kOpenInterest, kClassicBlock}
                  : segment_ == 1
                      ? Shape{cm::mwWide::kRecordSize, cm::mwWide::kCapacity, cm::mwWide::kMessageLength,
                              cm::mwWide::kMarketsAt, -1, kWideBlock}
                      : Shape{fo::mwWide::kRecordSize, fo::mwWide::kCapacity, fo::mwWide::kMessageLength,
                              fo::mwWide::kMarketsAt, fo::mwWide::kOpenInterest, kWideBlock};
  NseMessage m(code, s.messageLength);
  const int records = StartRecords(m, 1, s.capacity);
  for (int r = 0; r < records; ++r) {
    Instrument& in = Trade();
    const int at = records::kRecordsAt + r * s.recordSize;
    m.Put32(at + cm::mwWide::kToken, in.token);
    if (s.openInterest >= 0) m.Put64(at + s.openInterest, Wide(in.volume * 3LL));
    for (int k = 0; k < cm::mwWide::kMarkets; ++k) {
      const MarketBlock& b = s.block;
      const int block = at + s.marketsAt + k * b.size;
      const std::int32_t ltp = k == 0 ? in.price : in.price + k * in.tick;
      m.Put16(block + b.indicator, k == 0 ? 1 : 0);
      const std::int64_t buyVolume = Uniform(rng_, 1, 5000), sellVolume = Uniform(rng_, 1, 5000);
      PutCount(m, block + b.buyVolume, b.volumeWidth, b.volumeWidth == 8 ? Wide(buyVolume) : buyVolume);
      m.Put32(block + b.buyPrice, ltp - in.tick);
      PutCount(m, block + b.sellVolume, b.volumeWidth, b.volumeWidth == 8 ? Wide(sellVolume) : sellVolume);
      m.Put32(block + b.sellPrice, ltp + in.tick);
      m.Put32(block + b.lastTradedPrice, ltp);
      m.Put32(block + b.lastTradeTime, logTime_ - k);
    }
    AddReport(fx, in.token, in.price);
  }
  MaybeTrim(m, records::kRecordsAt, records, s.recordSize);
  return m;
}

// CM 18703 and F&O 17202: records of market type 1 report the fill price.
NseMessage NseSegmentFeed::TickerToday(int code, Effects* fx) {
  using namespace nse;
  const bool cm = code == cm::ticker18703::kCode;
  const int recordSize = cm ? cm::ticker18703::kRecordSize : fo::ticker17202::kRecordSize;
  const int capacity = cm ? cm::ticker18703::kCapacity : fo::ticker17202::kCapacity;
  NseMessage m(code, cm ? cm::ticker18703::kMessageLength : fo::ticker17202::kMessageLength);
  const int records = StartRecords(m, std::max(1, capacity / 4), capacity);
  for (int r = 0; r < records; ++r) {
    Instrument& in = Trade();
    const int marketType = Uniform(rng_, 0, 9) < 9 ? kMarketTypeNormal : 2;
    const int fillVolume = Uniform(rng_, 1, 1000);
    const int at = records::kRecordsAt + r * recordSize;
    if (cm) {
      m.Put32(at + cm::ticker18703::kToken, in.token);
      m.Put16(at + cm::ticker18703::kMarketType, marketType);
      m.Put32(at + cm::ticker18703::kFillPrice, in.price);
      m.Put32(at + cm::ticker18703::kFillVolume, fillVolume);
      m.Put32(at + cm::ticker18703::kMarketIndexValue, 2'200'000 + Uniform(rng_, -5000, 5000));
    } else {
      m.Put32(at + fo::ticker17202::kToken, in.token);
      m.Put16(at + fo::ticker17202::kMarketType, marketType);
      m.Put32(at + fo::ticker17202::kFillPrice, in.price);
      m.Put32(at + fo::ticker17202::kFillVolume, fillVolume);
      m.Put64(at + fo::ticker17202::kOpenInterest, Wide(in.volume * 3LL));
      m.Put64(at + fo::ticker17202::kDayHighOpenInterest, Wide(in.volume * 4LL));
      m.Put64(at + fo::ticker17202::kDayLowOpenInterest, Wide(in.volume * 2LL));
    }
    if (marketType == kMarketTypeNormal) AddReport(fx, in.token, in.price);
  }
  MaybeTrim(m, records::kRecordsAt, records, recordSize);
  return m;
}

// CM 7208 (566) and F&O 17208 (558): records with trading status 2 and book
// type 1 report the last traded price.
NseMessage NseSegmentFeed::MarketByPriceToday(int code, Effects* fx) {
  using namespace nse;
  namespace W = wideMbp;
  const bool cm = code == cm::mbpWide::kCode;
  const int recordSize = cm ? cm::mbpWide::kRecordSize : fo::mbp17208::kRecordSize;
  NseMessage m(code, cm ? cm::mbpWide::kMessageLength : fo::mbp17208::kMessageLength);
  const int records = StartRecords(m, 1, cm ? cm::mbpWide::kCapacity : fo::mbp17208::kCapacity);
  for (int r = 0; r < records; ++r) {
    Instrument& in = Trade();
    const int at = records::kRecordsAt + r * recordSize;
    const int status = Uniform(rng_, 0, 9) < 9 ? kTradingStatusOpen : 1;
    const int book = Uniform(rng_, 0, 19) < 19 ? kBookTypeRegular : 2;
    const std::int32_t close = in.price + Uniform(rng_, -12, 12) * in.tick;
    m.Put32(at + W::kToken, in.token);
    m.Put16(at + W::kBookType, book);
    m.Put16(at + W::kTradingStatus, status);
    m.Put64(at + W::kVolumeTradedToday, Wide(in.volume));
    m.Put32(at + W::kLastTradedPrice, in.price);
    m.PutText(at + W::kNetChangeIndicator, in.price >= close ? "+" : "-", 1);
    m.Put32(at + W::kNetPriceChange, in.price - close);
    m.Put32(at + W::kLastTradeQuantity, Uniform(rng_, 1, 500));
    m.Put32(at + W::kLastTradeTime, logTime_);
    m.Put32(at + W::kAverageTradePrice, in.price - in.tick);
    if (cm) {
      m.Put16(at + cm::mbpWide::kAuctionNumber, Uniform(rng_, 1, 99));
      m.Put16(at + cm::mbpWide::kAuctionStatus, Uniform(rng_, 1, 4));
      m.Put16(at + cm::mbpWide::kInitiatorType, Uniform(rng_, 1, 3));
      m.Put32(at + cm::mbpWide::kInitiatorPrice, in.price + 2 * in.tick);
      m.Put32(at + cm::mbpWide::kInitiatorQuantity, Uniform(rng_, 1, 200) * 5);
      m.Put32(at + cm::mbpWide::kAuctionPrice, in.price + 3 * in.tick);
      m.Put32(at + cm::mbpWide::kAuctionQuantity, Uniform(rng_, 1, 200) * 7);
      m.Put32(at + cm::mbpWide::kIndicativeClose, in.price + in.tick);
    } else {
      m.Put64(at + fo::mbp17208::kImbalanceQuantity, Wide(Uniform(rng_, 1, 90'000) * 25LL));
    }
    for (int k = 0; k < W::kMbpInfoCount; ++k) {
      const int e = at + W::kMbpInfoAt + k * W::kMbpInfoSize;
      const bool sell = k >= W::kMbpSellAt;
      const int level = sell ? k - W::kMbpSellAt : k;
      m.Put64(e + wideMbpInfo::kQuantity, Wide(Uniform(rng_, 1, 200) * 25LL));
      m.Put32(e + wideMbpInfo::kPrice, in.price + (sell ? 1 : -1) * (level + 1) * in.tick);
      m.Put16(e + wideMbpInfo::kNumberOfOrders, Uniform(rng_, 1, 40));
      m.Put16(e + wideMbpInfo::kBbBuySellFlag, 0);
    }
    m.Put16(at + W::kTotalBuyFlag, 1);
    m.Put16(at + W::kTotalSellFlag, 2);
    m.Put64(at + W::kTotalBuyQuantity, Wide(Uniform(rng_, 1000, 900000)));
    m.Put64(at + W::kTotalSellQuantity, Wide(Uniform(rng_, 1000, 900000)));
    m.Put32(at + W::kClosingPrice, close);
    m.Put32(at + W::kOpenPrice, in.price - 4 * in.tick);
    m.Put32(at + W::kHighPrice, in.price + 20 * in.tick);
    m.Put32(at + W::kLowPrice, in.price - 20 * in.tick);
    if (status == kTradingStatusOpen && book == kBookTypeRegular) AddReport(fx, in.token, in.price);
  }
  MaybeTrim(m, records::kRecordsAt, records, recordSize);
  return m;
}

// F&O 17211 (248): counted and forwarded, nothing reported.
NseMessage NseSegmentFeed::SpreadToday(Effects*) {
  namespace L = nse::fo::spread17211;
  NseMessage m(L::kCode, L::kMessageLength);
  Instrument& a = Pick();
  Instrument& b = Pick();
  m.Put32(L::kToken1, a.token);
  m.Put32(L::kToken2, b.token);
  m.Put16(L::kBuyDepthCount, L::kLevels);
  m.Put16(L::kSellDepthCount, L::kLevels);
  m.Put32(L::kLastActiveTime, logTime_);
  m.Put64(L::kTradedVolume, Wide(a.volume));
  m.PutDouble(L::kTotalTradedValue, static_cast<double>(Wide(a.volume)) * 100.0);
  for (int j = 0; j < L::kLevels; ++j) {
    const int buy = L::kBuyLevelsAt + j * L::kLevelSize, sell = L::kSellLevelsAt + j * L::kLevelSize;
    m.Put16(buy + L::kLevelOrders, Uniform(rng_, 1, 9));
    m.Put64(buy + L::kLevelVolume, Wide(Uniform(rng_, 1, 900)));
    m.Put32(buy + L::kLevelPrice, (j + 1) * -a.tick);
    m.Put16(sell + L::kLevelOrders, Uniform(rng_, 1, 9));
    m.Put64(sell + L::kLevelVolume, Wide(Uniform(rng_, 1, 900)));
    m.Put32(sell + L::kLevelPrice, (j + 1) * a.tick);
  }
  m.PutDouble(L::kTotalBuyVolume, static_cast<double>(Wide(5000)));
  m.PutDouble(L::kTotalSellVolume, static_cast<double>(Wide(6000)));
  m.Put32(L::kOpenPriceDifference, 2 * a.tick);
  m.Put32(L::kDayHighPriceDifference, 5 * a.tick);
  m.Put32(L::kDayLowPriceDifference, -3 * a.tick);
  m.Put32(L::kLastTradedPriceDifference, a.tick);
  m.Put32(L::kLastUpdateTime, logTime_);
  return m;
}

// CM 18720 (260): announces a security like 7305, with a 4-byte token.
NseMessage NseSegmentFeed::SecurityUpdateToday(Effects* fx) {
  namespace L = nse::cm::security18720;
  namespace E = security18720;
  Instrument& in = Pick();
  fx->announced = in.token;
  NseMessage m(L::kCode, L::kMessageLength);
  m.Put32(L::kToken, in.token);
  m.PutText(L::kSymbol, in.symbol, L::kSymbolSize);
  m.PutText(L::kSeries, "EQ", L::kSeriesSize);
  m.Put16(E::kInstrumentType, 0);
  m.Put16(E::kPermittedToTrade, 1);
  m.PutDouble(E::kIssuedCapital, 1.2e9 + in.token);
  m.Put32(E::kBoardLotQuantity, 1);
  m.Put32(E::kTickSize, in.tick);
  char text[32];
  std::snprintf(text, sizeof text, "%s LIMITED", in.symbol);
  m.PutText(E::kName, text, E::kNameSize);
  m.Put32(E::kLocalUpdateTime, logTime_);
  m.Put32(E::kFaceValue, 1000);
  std::snprintf(text, sizeof text, "INE%09d", in.token);
  m.PutText(E::kIsin, text, E::kIsinSize);
  return m;
}

// F&O 17130 (508): entries of token and open interest, counted only.
NseMessage NseSegmentFeed::OpenInterestToday(Effects*) {
  namespace L = nse::fo::oi17130;
  const int entries = Uniform(rng_, 1, L::kCapacity);
  NseMessage m(L::kCode, L::kMessageLength);
  m.SetErrorCode(entries);
  for (int e = 0; e < entries; ++e) {
    const int at = L::kEntriesAt + e * L::kEntrySize;
    m.Put32(at + L::kToken, Pick().token);
    m.Put64(at + L::kOpenInterest, Wide(Uniform(rng_, 0, 100000) * 25LL));
  }
  MaybeTrim(m, L::kEntriesAt, entries, L::kEntrySize);
  return m;
}

NseDatagramSource::NseDatagramSource(NseSegmentFeed& feed, int plainPercent, int fixedSize, int maxSize)
    : feed_(feed),
      plainPercent_(plainPercent),
      fixedSize_(fixedSize),
      packetsScale_(std::max(1, maxSize / kExchangeDatagramSize)),
      builder_(NetIdOfSegment(feed.segment()), maxSize) {}

std::span<const std::uint8_t> NseDatagramSource::Next(Ledger* ledger, int* messages) {
  builder_.Reset();
  const int target = Uniform(feed_.rng(), 1, 6) * packetsScale_;
  int added = 0;
  while (added < target) {
    if (!havePending_) {
      pending_ = feed_.Next(&pendingFx_);
      havePending_ = true;
    }
    const bool compress = Uniform(feed_.rng(), 0, 99) >= plainPercent_;
    // A packet that would not fit plain even alone in a datagram is compressed.
    const bool tooLongPlain = nse::datagram::kPacketsAt + nse::datagram::kCompLenSize +
                                  static_cast<int>(pending_.plain().size()) > builder_.maxSize();
    if (!builder_.Add(pending_.plain(), compress || tooLongPlain, lzo_)) {
      if (added > 0) break;
      // Alone in a datagram it must fit plain (or compressed, when too long
      // for that); drop a message that cannot.
      if (!builder_.Add(pending_.plain(), tooLongPlain, lzo_)) {
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
