// The NSE broadcast message layouts the decoders read, convert and forward,
// and the ForwardedPacket header they put in front of a forwarded message.
//
// Every offset is a byte offset from the message address (2 bytes into
// BcastHeader, see bcast_header.h): the header spans -2..37, the body starts
// at 38. Record-list messages carry NoOfRecords (2 bytes) at 38 and their
// records back to back from 40; record field offsets are from the record start.
// Integers are big-endian on the wire; 2-byte fields are signed 16-bit, 4-byte
// fields signed 32-bit, 8-byte fields IEEE-754 doubles. Text fields are
// fixed-width, blank padded and not NUL-terminated.
//
// Each layout lists the fields that are converted to host order (kConverted, a
// table of {offset, width}); every other byte passes through as received.
// kMessageLength is the number of message bytes a decoder uses for the code,
// kCapacity the most records that fit it, kPacketLength the length of the
// ForwardedPacket built from it (46 + kMessageLength - 38).
//
// Nothing else in the code spells an offset as a bare number: the decoders,
// the tests and the feed simulator build and read messages from these names.
// Thread safety: constants and pure functions only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "distribution/forwarded_packet.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace fh::nse {

// One field converted from network to host order: offset and width (2, 4, 8).
struct Field {
  int offset;
  int width;
};

// Transaction codes the decoders know by name (7305 is the security update in
// the capital market and the contract update in the derivatives segments).
namespace code {
inline constexpr int kMarketWatch = 7201, kTicker = 7202, kIndustryIndex = 7203, kIndices = 7207,
                     kMarketByPrice = 7208, kSpreadMarketByPrice = 7211, kCd7213 = 7213, kSecurityUpdate = 7305,
                     kValue7732 = 7732, kValue7733 = 7733, kPairs7130 = 7130;
}  // namespace code

// Record-list messages.
namespace records {
inline constexpr int kNoOfRecords = 38;  // 2 bytes, signed, converted first
inline constexpr int kRecordsAt = 40;    // record 0
}  // namespace records

// ---------------------------------------------------------------------------
// Capital market (segment 1). Tokens are 2 bytes wide.
namespace cm {

// 7201, market watch. Three market blocks of 26 bytes from record offset 2;
// the decoders read market 0 (the normal market) only.
namespace mw {
inline constexpr int kCode = code::kMarketWatch;
inline constexpr int kRecordSize = 80;
inline constexpr int kCapacity = 5;
inline constexpr int kMessageLength = 440;
inline constexpr int kPacketLength = 448;
inline constexpr int kToken = 0;        // 2 bytes
inline constexpr int kMarketsAt = 2;    // market m at kMarketsAt + kMarketSize * m
inline constexpr int kMarketSize = 26;
inline constexpr int kMarkets = 3;
// Within a market block.
inline constexpr int kIndicator = 0;       // 2 bytes, not converted
inline constexpr int kBuyVolume = 2;       // 4 bytes
inline constexpr int kBuyPrice = 6;        // 4 bytes
inline constexpr int kSellVolume = 10;     // 4 bytes
inline constexpr int kSellPrice = 14;      // 4 bytes
inline constexpr int kLastTradedPrice = 18;  // 4 bytes
inline constexpr int kLastTradeTime = 22;    // 4 bytes
// Market 0 fields from the record start.
inline constexpr int kBuyVolume0 = kMarketsAt + kBuyVolume;            // 4
inline constexpr int kBuyPrice0 = kMarketsAt + kBuyPrice;              // 8
inline constexpr int kSellVolume0 = kMarketsAt + kSellVolume;          // 12
inline constexpr int kSellPrice0 = kMarketsAt + kSellPrice;            // 16
inline constexpr int kLastTradedPrice0 = kMarketsAt + kLastTradedPrice;  // 20
inline constexpr Field kConverted[] = {
    {kToken, 2},
    {2 + 2, 4}, {2 + 6, 4}, {2 + 10, 4}, {2 + 14, 4}, {2 + 18, 4}, {2 + 22, 4},
    {28 + 2, 4}, {28 + 6, 4}, {28 + 10, 4}, {28 + 14, 4}, {28 + 18, 4}, {28 + 22, 4},
    {54 + 2, 4}, {54 + 6, 4}, {54 + 10, 4}, {54 + 14, 4}, {54 + 18, 4}, {54 + 22, 4},
};
}  // namespace mw

// 7202, ticker.
namespace ticker {
inline constexpr int kCode = code::kTicker;
inline constexpr int kRecordSize = 16;
inline constexpr int kCapacity = 28;
inline constexpr int kMessageLength = 488;
inline constexpr int kPacketLength = 496;
inline constexpr int kToken = 0;              // 2 bytes
inline constexpr int kMarketType = 2;         // 2 bytes
inline constexpr int kFillPrice = 4;          // 4 bytes
inline constexpr int kFillVolume = 8;         // 4 bytes
inline constexpr int kMarketIndexValue = 12;  // 4 bytes
inline constexpr Field kConverted[] = {
    {kToken, 2}, {kMarketType, 2}, {kFillPrice, 4}, {kFillVolume, 4}, {kMarketIndexValue, 4}};
}  // namespace ticker

// 7203, industry index.
namespace industry {
inline constexpr int kCode = code::kIndustryIndex;
inline constexpr int kRecordSize = 26;
inline constexpr int kCapacity = 17;
inline constexpr int kMessageLength = 482;
inline constexpr int kPacketLength = 490;
inline constexpr int kName = 0;  // 22 characters, not converted
inline constexpr int kNameSize = 22;
inline constexpr int kIndexValue = 22;  // 4 bytes
inline constexpr Field kConverted[] = {{kIndexValue, 4}};
}  // namespace industry

// 7207, indices (the F&O layout is the same).
namespace indices {
inline constexpr int kCode = code::kIndices;
inline constexpr int kRecordSize = 72;
inline constexpr int kCapacity = 6;
inline constexpr int kMessageLength = 472;
inline constexpr int kPacketLength = 480;
inline constexpr int kName = 0;  // 21 characters
inline constexpr int kNameSize = 21;
inline constexpr int kFiller = 21;  // 1 byte
inline constexpr int kIndexValue = 22;
inline constexpr int kHighIndexValue = 26;
inline constexpr int kLowIndexValue = 30;
inline constexpr int kOpeningIndex = 34;
inline constexpr int kClosingIndex = 38;
inline constexpr int kPercentChange = 42;
inline constexpr int kYearlyHigh = 46;
inline constexpr int kYearlyLow = 50;
inline constexpr int kNoOfUpMoves = 54;
inline constexpr int kNoOfDownMoves = 58;
inline constexpr int kMarketCapitalisation = 62;  // 8 bytes, double
inline constexpr int kNetChangeIndicator = 70;    // 1 byte, not converted
inline constexpr int kFiller2 = 71;               // 1 byte
inline constexpr Field kConverted[] = {
    {kIndexValue, 4},   {kHighIndexValue, 4}, {kLowIndexValue, 4}, {kOpeningIndex, 4},
    {kClosingIndex, 4}, {kPercentChange, 4},  {kYearlyHigh, 4},    {kYearlyLow, 4},
    {kNoOfUpMoves, 4},  {kNoOfDownMoves, 4},  {kMarketCapitalisation, 8}};
}  // namespace indices

// 7208, market by price. Ten MBPInfo depth entries of 12 bytes: 0..4 buy,
// 5..9 sell, best first.
namespace mbp {
inline constexpr int kCode = code::kMarketByPrice;
inline constexpr int kRecordSize = 212;
inline constexpr int kCapacity = 2;
inline constexpr int kMessageLength = 464;
inline constexpr int kPacketLength = 472;
inline constexpr int kToken = 0;                 // 2 bytes
inline constexpr int kBookType = 2;              // 2 bytes
inline constexpr int kTradingStatus = 4;         // 2 bytes
inline constexpr int kVolumeTradedToday = 6;     // 4 bytes
inline constexpr int kLastTradedPrice = 10;      // 4 bytes
inline constexpr int kNetChangeIndicator = 14;   // 1 byte, not converted
inline constexpr int kFiller = 15;               // 1 byte, not converted
inline constexpr int kNetPriceChange = 16;       // 4 bytes
inline constexpr int kLastTradeQuantity = 20;    // 4 bytes
inline constexpr int kLastTradeTime = 24;        // 4 bytes
inline constexpr int kAverageTradePrice = 28;    // 4 bytes
inline constexpr int kAuctionNumber = 32;        // 2 bytes
inline constexpr int kAuctionStatus = 34;        // 2 bytes
inline constexpr int kInitiatorType = 36;        // 2 bytes
inline constexpr int kInitiatorPrice = 38;       // 4 bytes
inline constexpr int kInitiatorQuantity = 42;    // 4 bytes
inline constexpr int kAuctionPrice = 46;         // 4 bytes
inline constexpr int kAuctionQuantity = 50;      // 4 bytes
inline constexpr int kMbpInfoAt = 54;            // entry k at kMbpInfoAt + kMbpInfoSize * k
inline constexpr int kMbpInfoSize = 12;
inline constexpr int kMbpInfoCount = 10;
inline constexpr int kMbpSellAt = 5;             // first sell entry
inline constexpr int kTotalBuyFlag = 174;        // 2 bytes
inline constexpr int kTotalSellFlag = 176;       // 2 bytes
inline constexpr int kTotalBuyQuantity = 178;    // 8 bytes, double
inline constexpr int kTotalSellQuantity = 186;   // 8 bytes, double
inline constexpr int kDepthIndicator = 194;      // 2 bytes, not converted
inline constexpr int kClosingPrice = 196;        // 4 bytes
inline constexpr int kOpenPrice = 200;           // 4 bytes
inline constexpr int kHighPrice = 204;           // 4 bytes
inline constexpr int kLowPrice = 208;            // 4 bytes
inline constexpr Field kConverted[] = {
    {kToken, 2}, {kBookType, 2}, {kTradingStatus, 2}, {kVolumeTradedToday, 4}, {kLastTradedPrice, 4},
    {kNetPriceChange, 4}, {kLastTradeQuantity, 4}, {kLastTradeTime, 4}, {kAverageTradePrice, 4},
    {kAuctionNumber, 2}, {kAuctionStatus, 2}, {kInitiatorType, 2}, {kInitiatorPrice, 4},
    {kInitiatorQuantity, 4}, {kAuctionPrice, 4}, {kAuctionQuantity, 4},
    {54, 4}, {58, 4}, {62, 2}, {64, 2},
    {66, 4}, {70, 4}, {74, 2}, {76, 2},
    {78, 4}, {82, 4}, {86, 2}, {88, 2},
    {90, 4}, {94, 4}, {98, 2}, {100, 2},
    {102, 4}, {106, 4}, {110, 2}, {112, 2},
    {114, 4}, {118, 4}, {122, 2}, {124, 2},
    {126, 4}, {130, 4}, {134, 2}, {136, 2},
    {138, 4}, {142, 4}, {146, 2}, {148, 2},
    {150, 4}, {154, 4}, {158, 2}, {160, 2},
    {162, 4}, {166, 4}, {170, 2}, {172, 2},
    {kTotalBuyFlag, 2}, {kTotalSellFlag, 2}, {kTotalBuyQuantity, 8}, {kTotalSellQuantity, 8},
    {kClosingPrice, 4}, {kOpenPrice, 4}, {kHighPrice, 4}, {kLowPrice, 4}};
}  // namespace mbp

// 7305, security update: the decoder copies and converts the first 256 bytes.
namespace security {
inline constexpr int kCode = code::kSecurityUpdate;
inline constexpr int kMessageLength = 256;
inline constexpr int kToken = 38;   // 2 bytes
inline constexpr int kSymbol = 40;  // 10 characters
inline constexpr int kSymbolSize = 10;
inline constexpr int kSeries = 50;  // 2 characters
inline constexpr int kSeriesSize = 2;
inline constexpr Field kConverted[] = {{kToken, 2}};
}  // namespace security

}  // namespace cm

// Within a depth entry (MBPInfo), both segments.
namespace mbpinfo {
inline constexpr int kQuantity = 0;        // 4 bytes
inline constexpr int kPrice = 4;           // 4 bytes
inline constexpr int kNumberOfOrders = 8;  // 2 bytes
inline constexpr int kBbBuySellFlag = 10;  // 2 bytes
}  // namespace mbpinfo

// ---------------------------------------------------------------------------
// F&O (segment 2); currency derivatives (segment 3) share these layouts.
// Tokens are 4 bytes wide.
namespace fo {

// 7201, market watch: token, three market blocks of 26 bytes (laid out as in
// the capital market) from record offset 4, open interest.
namespace mw {
inline constexpr int kCode = code::kMarketWatch;
inline constexpr int kRecordSize = 86;
inline constexpr int kCapacity = 5;
inline constexpr int kMessageLength = 470;
inline constexpr int kPacketLength = 478;
inline constexpr int kToken = 0;  // 4 bytes
inline constexpr int kMarketsAt = 4;
inline constexpr int kMarketSize = cm::mw::kMarketSize;
inline constexpr int kMarkets = 3;
inline constexpr int kOpenInterest = 82;  // 4 bytes
inline constexpr int kBuyVolume0 = kMarketsAt + cm::mw::kBuyVolume;              // 6
inline constexpr int kBuyPrice0 = kMarketsAt + cm::mw::kBuyPrice;                // 10
inline constexpr int kSellVolume0 = kMarketsAt + cm::mw::kSellVolume;            // 14
inline constexpr int kSellPrice0 = kMarketsAt + cm::mw::kSellPrice;              // 18
inline constexpr int kLastTradedPrice0 = kMarketsAt + cm::mw::kLastTradedPrice;  // 22
inline constexpr Field kConverted[] = {
    {kToken, 4},
    {4 + 2, 4}, {4 + 6, 4}, {4 + 10, 4}, {4 + 14, 4}, {4 + 18, 4}, {4 + 22, 4},
    {30 + 2, 4}, {30 + 6, 4}, {30 + 10, 4}, {30 + 14, 4}, {30 + 18, 4}, {30 + 22, 4},
    {56 + 2, 4}, {56 + 6, 4}, {56 + 10, 4}, {56 + 14, 4}, {56 + 18, 4}, {56 + 22, 4},
    {kOpenInterest, 4}};
}  // namespace mw

// 7202, ticker.
namespace ticker {
inline constexpr int kCode = code::kTicker;
inline constexpr int kRecordSize = 26;
inline constexpr int kCapacity = 17;
inline constexpr int kMessageLength = 482;
inline constexpr int kPacketLength = 490;
inline constexpr int kToken = 0;                    // 4 bytes
inline constexpr int kMarketType = 4;               // 2 bytes
inline constexpr int kFillPrice = 6;                // 4 bytes
inline constexpr int kFillVolume = 10;              // 4 bytes
inline constexpr int kOpenInterest = 14;            // 4 bytes
inline constexpr int kDayHighOpenInterest = 18;     // 4 bytes
inline constexpr int kDayLowOpenInterest = 22;      // 4 bytes
inline constexpr Field kConverted[] = {{kToken, 4},        {kMarketType, 2},
                                       {kFillPrice, 4},    {kFillVolume, 4},
                                       {kOpenInterest, 4}, {kDayHighOpenInterest, 4},
                                       {kDayLowOpenInterest, 4}};
}  // namespace ticker

// 7203, industry index (F&O only).
namespace industry {
inline constexpr int kCode = code::kIndustryIndex;
inline constexpr int kRecordSize = 20;
inline constexpr int kCapacity = 20;
inline constexpr int kMessageLength = 440;
inline constexpr int kPacketLength = 448;
inline constexpr int kName = 0;  // 15 characters
inline constexpr int kNameSize = 15;
inline constexpr int kFiller = 15;      // 1 byte
inline constexpr int kIndexValue = 16;  // 4 bytes
inline constexpr Field kConverted[] = {{kIndexValue, 4}};
}  // namespace industry

// 7207, indices (F&O only): as in the capital market.
namespace indices = cm::indices;

// 7208, market by price: the capital-market record with a 4-byte token, so
// every field after the token lies 2 bytes further on.
namespace mbp {
inline constexpr int kCode = code::kMarketByPrice;
inline constexpr int kRecordSize = 214;
inline constexpr int kCapacity = 2;
inline constexpr int kMessageLength = 468;
inline constexpr int kPacketLength = 476;
inline constexpr int kShift = 2;  // against the capital-market record
inline constexpr int kToken = 0;  // 4 bytes
inline constexpr int kBookType = cm::mbp::kBookType + kShift;                    // 4
inline constexpr int kTradingStatus = cm::mbp::kTradingStatus + kShift;          // 6
inline constexpr int kVolumeTradedToday = cm::mbp::kVolumeTradedToday + kShift;  // 8
inline constexpr int kLastTradedPrice = cm::mbp::kLastTradedPrice + kShift;      // 12
inline constexpr int kNetChangeIndicator = cm::mbp::kNetChangeIndicator + kShift;  // 16
inline constexpr int kNetPriceChange = cm::mbp::kNetPriceChange + kShift;        // 18
inline constexpr int kLastTradeQuantity = cm::mbp::kLastTradeQuantity + kShift;  // 22
inline constexpr int kLastTradeTime = cm::mbp::kLastTradeTime + kShift;          // 26
inline constexpr int kAverageTradePrice = cm::mbp::kAverageTradePrice + kShift;  // 30
inline constexpr int kMbpInfoAt = cm::mbp::kMbpInfoAt + kShift;                  // 56
inline constexpr int kMbpInfoSize = cm::mbp::kMbpInfoSize;
inline constexpr int kMbpInfoCount = cm::mbp::kMbpInfoCount;
inline constexpr int kMbpSellAt = cm::mbp::kMbpSellAt;
inline constexpr int kTotalBuyFlag = cm::mbp::kTotalBuyFlag + kShift;            // 176
inline constexpr int kTotalSellFlag = cm::mbp::kTotalSellFlag + kShift;          // 178
inline constexpr int kTotalBuyQuantity = cm::mbp::kTotalBuyQuantity + kShift;    // 180
inline constexpr int kTotalSellQuantity = cm::mbp::kTotalSellQuantity + kShift;  // 188
inline constexpr int kDepthIndicator = cm::mbp::kDepthIndicator + kShift;        // 196
inline constexpr int kClosingPrice = cm::mbp::kClosingPrice + kShift;            // 198
inline constexpr int kOpenPrice = cm::mbp::kOpenPrice + kShift;                  // 202
inline constexpr int kHighPrice = cm::mbp::kHighPrice + kShift;                  // 206
inline constexpr int kLowPrice = cm::mbp::kLowPrice + kShift;                    // 210

// The capital-market table with the token widened and the rest shifted. A
// whole object (not a reference into one), so it can be a template argument
// for every compiler.
inline constexpr std::size_t kConvertedCount = sizeof(cm::mbp::kConverted) / sizeof(Field);
constexpr std::array<Field, kConvertedCount> MakeConverted() {
  std::array<Field, kConvertedCount> t{};
  std::size_t i = 0;
  for (const Field& f : cm::mbp::kConverted) {
    t[i++] = f.offset == cm::mbp::kToken ? Field{kToken, 4} : Field{f.offset + kShift, f.width};
  }
  return t;
}
inline constexpr std::array<Field, kConvertedCount> kConverted = MakeConverted();
}  // namespace mbp

// 7211, spread market by price; no record count.
namespace spread {
inline constexpr int kCode = code::kSpreadMarketByPrice;
inline constexpr int kMessageLength = 202;
inline constexpr int kPacketLength = 210;
inline constexpr int kToken1 = 38;            // 4 bytes
inline constexpr int kToken2 = 42;            // 4 bytes
inline constexpr int kBuyDepthCount = 46;     // 2 bytes
inline constexpr int kSellDepthCount = 48;    // 2 bytes
inline constexpr int kLastActiveTime = 50;    // 4 bytes
inline constexpr int kTradedVolume = 54;      // 4 bytes
inline constexpr int kTotalTradedValue = 58;  // 8 bytes, double
inline constexpr int kBuyLevelsAt = 66;       // level j at kBuyLevelsAt + kLevelSize * j
inline constexpr int kSellLevelsAt = 116;
inline constexpr int kLevelSize = 10;
inline constexpr int kLevels = 5;
inline constexpr int kLevelOrders = 0;  // 2 bytes
inline constexpr int kLevelVolume = 2;  // 4 bytes
inline constexpr int kLevelPrice = 6;   // 4 bytes
inline constexpr int kTotalBuyQuantity = 166;   // 8 bytes, double
inline constexpr int kTotalSellQuantity = 174;  // 8 bytes, double
inline constexpr int kOpenPriceDifference = 182;
inline constexpr int kDayHighPriceDifference = 186;
inline constexpr int kDayLowPriceDifference = 190;
inline constexpr int kLastTradedPriceDifference = 194;
inline constexpr int kLastUpdateTime = 198;
inline constexpr Field kConverted[] = {
    {kToken1, 4}, {kToken2, 4}, {kBuyDepthCount, 2}, {kSellDepthCount, 2},
    {kLastActiveTime, 4}, {kTradedVolume, 4}, {kTotalTradedValue, 8},
    {66, 2}, {68, 4}, {72, 4}, {76, 2}, {78, 4}, {82, 4}, {86, 2}, {88, 4}, {92, 4},
    {96, 2}, {98, 4}, {102, 4}, {106, 2}, {108, 4}, {112, 4},
    {116, 2}, {118, 4}, {122, 4}, {126, 2}, {128, 4}, {132, 4}, {136, 2}, {138, 4}, {142, 4},
    {146, 2}, {148, 4}, {152, 4}, {156, 2}, {158, 4}, {162, 4},
    {kTotalBuyQuantity, 8}, {kTotalSellQuantity, 8},
    {kOpenPriceDifference, 4}, {kDayHighPriceDifference, 4}, {kDayLowPriceDifference, 4},
    {kLastTradedPriceDifference, 4}, {kLastUpdateTime, 4}};
}  // namespace spread

// 7305, contract update.
namespace contract {
inline constexpr int kCode = code::kSecurityUpdate;
inline constexpr int kToken = 38;           // 4 bytes
inline constexpr int kInstrumentName = 42;  // 6 characters, not read
inline constexpr int kSymbol = 48;          // 10 characters
inline constexpr int kSymbolSize = 10;
inline constexpr int kSeries = 58;          // 2 characters, not read
inline constexpr int kExpiryDate = 60;      // 4 bytes
inline constexpr int kStrikePrice = 64;     // 4 bytes
inline constexpr int kOptionType = 68;      // 2 characters
inline constexpr int kOptionTypeSize = 2;
inline constexpr int kEnd = 70;             // the fields read lie below this
inline constexpr Field kConverted[] = {{kToken, 4}, {kExpiryDate, 4}, {kStrikePrice, 4}};
}  // namespace contract

// 7732 (F&O only): token and the value reported.
namespace v7732 {
inline constexpr int kCode = code::kValue7732;
inline constexpr int kToken = 38;   // 4 bytes
inline constexpr int kValue = 104;  // 4 bytes
inline constexpr int kEnd = 124;    // the converted fields lie below this
inline constexpr Field kConverted[] = {{38, 4},  {92, 4},  {96, 4},  {100, 4}, {104, 4},
                                       {108, 4}, {112, 4}, {116, 4}, {120, 4}};
}  // namespace v7732

// 7733 (F&O only): token and the value reported.
namespace v7733 {
inline constexpr int kCode = code::kValue7733;
inline constexpr int kToken = 38;   // 4 bytes
inline constexpr int kValue = 112;  // 4 bytes
inline constexpr int kEnd = 148;    // the converted fields lie below this
inline constexpr Field kConverted[] = {
    {38, 4},  {64, 2},  {66, 2},  {68, 2},  {72, 4},  {76, 4},  {80, 4},
    {100, 4}, {104, 4}, {108, 4}, {112, 4}, {116, 4}, {120, 4}, {124, 4}, {128, 4},
    {84, 8},  {92, 8},  {132, 8}, {140, 8}};
}  // namespace v7733

// 7130: a list of 8-byte entries from 38, two 4-byte fields each; the number
// of entries is the header's ErrorCode.
namespace pairs7130 {
inline constexpr int kCode = code::kPairs7130;
inline constexpr int kEntriesAt = 38;
inline constexpr int kEntrySize = 8;
inline constexpr Field kConverted[] = {{0, 4}, {4, 4}};  // within an entry
}  // namespace pairs7130

}  // namespace fo

// ---------------------------------------------------------------------------
// Currency derivatives (segment 3): the F&O layouts, and 7213 of its own.
namespace cd {
namespace mw = fo::mw;
namespace ticker = fo::ticker;
namespace mbp = fo::mbp;
namespace spread = fo::spread;
namespace contract = fo::contract;
namespace pairs7130 = fo::pairs7130;

// 7213: five 4-byte fields, the bytes between pass through.
namespace v7213 {
inline constexpr int kCode = code::kCd7213;
inline constexpr int kMessageLength = 74;
inline constexpr int kPacketLength = 82;
inline constexpr int kToken = 38;  // 4 bytes
inline constexpr int kValue = 50;  // 4 bytes, the value reported
inline constexpr Field kConverted[] = {{38, 4}, {42, 4}, {46, 4}, {50, 4}, {70, 4}};
}  // namespace v7213
}  // namespace cd

// ---------------------------------------------------------------------------
// Byte-order conversion of a layout's fields, in place.

inline void ConvertField(std::uint8_t* p, int width) {
  if (width == 2) {
    ToHost16(p);
  } else if (width == 4) {
    ToHost32(p);
  } else {
    ToHost64(p);
  }
}

// Converts every field of table at base. The caller has checked that the
// whole layout (or record) lies within its bytes.
template <const auto& kTable>
inline void ConvertFields(std::uint8_t* base) {
  for (const Field& f : kTable) ConvertField(base + f.offset, f.width);
}

// The extent of a table: one past its last converted byte.
template <const auto& kTable>
constexpr int FieldsEnd() {
  int end = 0;
  for (const Field& f : kTable) end = f.offset + f.width > end ? f.offset + f.width : end;
  return end;
}

// ---------------------------------------------------------------------------
// ForwardedPacket header (see distribution/forwarded_packet.h) and the packet
// lengths of the codes the NSE decoders forward.

// Segment codes and price divisors of the three NSE segments.
inline constexpr int kSegmentCodeCm = forwarded::kSegmentCm;  // 20
inline constexpr int kSegmentCodeFo = forwarded::kSegmentFo;  // 21
inline constexpr int kSegmentCodeCd = forwarded::kSegmentCd;  // 22
inline constexpr int kDivisorCm = forwarded::kDivisorNse;     // 100
inline constexpr int kDivisorFo = forwarded::kDivisorNse;     // 100
inline constexpr int kDivisorCd = forwarded::kDivisorCd;      // 0x9680

// Writes the 46-byte header into out: 10, the segment code and the divisor
// (16-bit host order), message bytes 0..3, then LogTime, AlphaChar,
// TransactionCode, ErrorCode, Reserved2, TimeStamp1 and TimeStamp2 as they
// stand in the message (the framing has put the converted ones in host order).
// message must have header::kBodyAt readable bytes. The packet-length field is
// left as it was (the handler that builds the packet fills it).
inline void PrepareForwardedHeader(std::uint8_t* out, const std::uint8_t* message, int exchangeSegmentCode,
                                   int divisor) {
  Store16(out + forwarded::kExchangeCode, static_cast<std::int16_t>(forwarded::kExchangeNse));
  Store16(out + forwarded::kSegmentCode, static_cast<std::int16_t>(exchangeSegmentCode));
  Store16(out + forwarded::kPriceDivisor, static_cast<std::int16_t>(static_cast<std::uint16_t>(divisor)));
  std::memcpy(out + forwarded::kMessageHead, message + header::kReserved, 4);
  std::memcpy(out + forwarded::kLogTime, message + header::kLogTime, 4);
  std::memcpy(out + forwarded::kAlphaChar, message + header::kAlphaChar, 2);
  std::memcpy(out + forwarded::kTransactionCode, message + header::kTransactionCode, 2);
  std::memcpy(out + forwarded::kErrorCode, message + header::kErrorCode, 2);
  std::memcpy(out + forwarded::kReserved2, message + header::kReserved2, 8);
  std::memcpy(out + forwarded::kTimeStamp1, message + header::kTimeStamp1, 8);
  std::memcpy(out + forwarded::kTimeStamp2, message + header::kTimeStamp2, 8);
}

// Writes the packet length (header included) into its field.
inline void SetForwardedLength(std::uint8_t* out, int packetLength) {
  Store16(out + forwarded::kPacketLength, static_cast<std::int16_t>(packetLength));
}

// The whole header for a body of bodyLength bytes; returns the packet length
// 46 + bodyLength. The body itself is the caller's to copy behind it.
inline int BuildForwardedHeader(std::uint8_t* out, const std::uint8_t* message, int exchangeSegmentCode,
                                int divisor, int bodyLength) {
  PrepareForwardedHeader(out, message, exchangeSegmentCode, divisor);
  const int packetLength = forwarded::kHeaderSize + bodyLength;
  SetForwardedLength(out, packetLength);
  return packetLength;
}

// Packet length of a forwarded message by segment (1 NCM, 2 NFO, 3 NCD) and
// transaction code; 0 when that segment forwards no such message.
constexpr int ForwardedPacketLength(int segment, int transactionCode) {
  if (segment == 1) {
    switch (transactionCode) {
      case cm::mw::kCode: return cm::mw::kPacketLength;
      case cm::ticker::kCode: return cm::ticker::kPacketLength;
      case cm::industry::kCode: return cm::industry::kPacketLength;
      case cm::indices::kCode: return cm::indices::kPacketLength;
      case cm::mbp::kCode: return cm::mbp::kPacketLength;
      default: return 0;
    }
  }
  if (segment == 2 || segment == 3) {
    switch (transactionCode) {
      case fo::mw::kCode: return fo::mw::kPacketLength;
      case fo::ticker::kCode: return fo::ticker::kPacketLength;
      case fo::mbp::kCode: return fo::mbp::kPacketLength;
      case fo::spread::kCode: return fo::spread::kPacketLength;
      case fo::industry::kCode: return segment == 2 ? fo::industry::kPacketLength : 0;
      case fo::indices::kCode: return segment == 2 ? fo::indices::kPacketLength : 0;
      case cd::v7213::kCode: return segment == 3 ? cd::v7213::kPacketLength : 0;
      default: return 0;
    }
  }
  return 0;
}

// The message bytes a packet's body is taken from: 38 .. 38 + n - 1.
constexpr int ForwardedBodyLength(int packetLength) { return packetLength - forwarded::kHeaderSize; }

// Layout sanity: capacities, message and packet lengths agree.
static_assert(records::kRecordsAt + cm::mw::kCapacity * cm::mw::kRecordSize == cm::mw::kMessageLength);
static_assert(records::kRecordsAt + cm::ticker::kCapacity * cm::ticker::kRecordSize == cm::ticker::kMessageLength);
static_assert(records::kRecordsAt + cm::industry::kCapacity * cm::industry::kRecordSize ==
              cm::industry::kMessageLength);
static_assert(records::kRecordsAt + cm::indices::kCapacity * cm::indices::kRecordSize ==
              cm::indices::kMessageLength);
static_assert(records::kRecordsAt + cm::mbp::kCapacity * cm::mbp::kRecordSize == cm::mbp::kMessageLength);
static_assert(records::kRecordsAt + fo::mw::kCapacity * fo::mw::kRecordSize == fo::mw::kMessageLength);
static_assert(records::kRecordsAt + fo::ticker::kCapacity * fo::ticker::kRecordSize == fo::ticker::kMessageLength);
static_assert(records::kRecordsAt + fo::industry::kCapacity * fo::industry::kRecordSize ==
              fo::industry::kMessageLength);
static_assert(records::kRecordsAt + fo::mbp::kCapacity * fo::mbp::kRecordSize == fo::mbp::kMessageLength);
static_assert(cm::mw::kPacketLength == forwarded::kHeaderSize + cm::mw::kMessageLength - header::kBodyAt);
static_assert(cm::ticker::kPacketLength == forwarded::kHeaderSize + cm::ticker::kMessageLength - header::kBodyAt);
static_assert(cm::industry::kPacketLength ==
              forwarded::kHeaderSize + cm::industry::kMessageLength - header::kBodyAt);
static_assert(cm::indices::kPacketLength == forwarded::kHeaderSize + cm::indices::kMessageLength - header::kBodyAt);
static_assert(cm::mbp::kPacketLength == forwarded::kHeaderSize + cm::mbp::kMessageLength - header::kBodyAt);
static_assert(fo::mw::kPacketLength == forwarded::kHeaderSize + fo::mw::kMessageLength - header::kBodyAt);
static_assert(fo::ticker::kPacketLength == forwarded::kHeaderSize + fo::ticker::kMessageLength - header::kBodyAt);
static_assert(fo::industry::kPacketLength ==
              forwarded::kHeaderSize + fo::industry::kMessageLength - header::kBodyAt);
static_assert(fo::mbp::kPacketLength == forwarded::kHeaderSize + fo::mbp::kMessageLength - header::kBodyAt);
static_assert(fo::spread::kPacketLength == forwarded::kHeaderSize + fo::spread::kMessageLength - header::kBodyAt);
static_assert(cd::v7213::kPacketLength == forwarded::kHeaderSize + cd::v7213::kMessageLength - header::kBodyAt);
static_assert(FieldsEnd<cm::mw::kConverted>() == cm::mw::kRecordSize);
static_assert(FieldsEnd<cm::mbp::kConverted>() == cm::mbp::kRecordSize);
static_assert(FieldsEnd<fo::mw::kConverted>() == fo::mw::kRecordSize);
static_assert(FieldsEnd<fo::mbp::kConverted>() == fo::mbp::kRecordSize);
static_assert(FieldsEnd<fo::ticker::kConverted>() == fo::ticker::kRecordSize);
static_assert(FieldsEnd<cm::ticker::kConverted>() == cm::ticker::kRecordSize);
static_assert(FieldsEnd<fo::spread::kConverted>() == fo::spread::kMessageLength);
static_assert(FieldsEnd<cd::v7213::kConverted>() == cd::v7213::kMessageLength);
static_assert(FieldsEnd<fo::v7732::kConverted>() == fo::v7732::kEnd);
static_assert(FieldsEnd<fo::v7733::kConverted>() == fo::v7733::kEnd);
static_assert(fo::mbp::kMbpInfoAt + fo::mbp::kMbpInfoCount * fo::mbp::kMbpInfoSize == fo::mbp::kTotalBuyFlag);
static_assert(cm::mbp::kMbpInfoAt + cm::mbp::kMbpInfoCount * cm::mbp::kMbpInfoSize == cm::mbp::kTotalBuyFlag);

}  // namespace fh::nse
