// The NSE broadcast message layouts the decoders read, convert and forward,
// and the ForwardedPacket header they put in front of a forwarded message.
//
// Every offset is a byte offset from the message address (2 bytes into
// BcastHeader, see bcast_header.h): the header spans -2..37, the body starts
// at 38. Record-list messages carry NoOfRecords (2 bytes) at 38 and their
// records back to back from 40; record field offsets are from the record start.
// Integers are big-endian on the wire; 2-byte fields are signed 16-bit, 4-byte
// fields signed 32-bit; 8-byte fields are IEEE-754 doubles in the classic
// forms and mostly signed 64-bit integers in today's. Text fields are
// fixed-width, blank padded and not NUL-terminated.
//
// Two generations of layouts live here side by side:
//   - the classic forms, which the decoders have always read;
//   - today's forms (capital market protocol 6.x, F&O 9.43 and 9.48), which
//     widen tokens to 4 bytes and volumes, quantities and open interest to 8,
//     under new codes (17201, 17202, 17208, 17211, 17130, 18703, 18720) or
//     under the classic code with a new length (CM 7201 and 7208, F&O 7201).
// The header's MessageLength (which counts the whole 40-byte header, so it is
// kMessageLength + 2 for a whole message) tells the forms of one code apart;
// see FormLengths.
//
// Each layout lists the fields that are converted to host order (kConverted, a
// table of {offset, width}); every other byte passes through as received.
// kMessageLength is the number of message bytes a decoder uses for the code,
// counted from the message address; kCapacity the most records that fit it;
// kPacketLength the length of the ForwardedPacket built from it
// (46 + kMessageLength - 38). Today's layouts also list the bytes they keep as
// received (kKept) and prove at compile time that the two tables tile the
// record (or body) without a gap or an overlap.
//
// The offsets are named once, here; the tables are built from the names.
// Decoders, tests and the feed simulator build and read messages through these
// names (golden tests excepted: they type the exchange's offsets themselves).
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

// One field: offset and width (converted fields: 2, 4 or 8).
struct Field {
  int offset;
  int width;
};

// A table of N fields written from named offsets: single fields, or a block
// of fields repeated at a stride. Table() refuses (at compile time) a count
// that is not N.
template <std::size_t N>
class FieldTable {
 public:
  constexpr FieldTable& Add(int offset, int width) {
    if (size_ >= N) throw "more fields than the table holds";
    fields_[size_++] = Field{offset, width};
    return *this;
  }
  template <std::size_t M>
  constexpr FieldTable& Repeat(const std::array<Field, M>& block, int at, int stride, int count) {
    for (int i = 0; i < count; ++i) {
      for (const Field& f : block) Add(at + i * stride + f.offset, f.width);
    }
    return *this;
  }
  constexpr std::array<Field, N> Table() const {
    if (size_ != N) throw "fewer fields than the table holds";
    return fields_;
  }

 private:
  std::array<Field, N> fields_{};
  std::size_t size_ = 0;
};

// One past the last byte of a table.
template <class Table>
constexpr int FieldsEnd(const Table& table) {
  int end = 0;
  for (const Field& f : table) end = f.offset + f.width > end ? f.offset + f.width : end;
  return end;
}

// Whether the converted and the kept fields cover [from, to) exactly once
// each byte: no gap, no overlap, nothing outside.
template <class A, class B>
constexpr bool Tiles(const A& converted, const B& kept, int from, int to) {
  std::array<int, 1024> seen{};
  if (to - from > static_cast<int>(seen.size())) return false;
  const auto mark = [&](const Field& f) {
    for (int i = f.offset; i < f.offset + f.width; ++i) {
      if (i < from || i >= to) return false;
      if (seen[static_cast<std::size_t>(i - from)]++ != 0) return false;
    }
    return true;
  };
  for (const Field& f : converted) {
    if (!mark(f)) return false;
  }
  for (const Field& f : kept) {
    if (!mark(f)) return false;
  }
  for (int i = 0; i < to - from; ++i) {
    if (seen[static_cast<std::size_t>(i)] != 1) return false;
  }
  return true;
}

// Transaction codes the decoders know by name (7305 is the security update in
// the capital market and the contract update in the derivatives segments).
namespace code {
inline constexpr int kMarketWatch = 7201, kTicker = 7202, kIndustryIndex = 7203, kIndices = 7207,
                     kMarketByPrice = 7208, kSpreadMarketByPrice = 7211, kCd7213 = 7213, kSecurityUpdate = 7305,
                     kValue7732 = 7732, kValue7733 = 7733, kPairs7130 = 7130, kBhavcopy1833 = 1833;
// Today's codes, each the successor of the classic code it names.
inline constexpr int kMarketWatch17201 = 17201, kTicker17202 = 17202, kMarketByPrice17208 = 17208,
                     kSpread17211 = 17211, kOpenInterest17130 = 17130, kBhavcopy11833 = 11833,
                     kTicker18703 = 18703, kSecurityUpdate18720 = 18720;
}  // namespace code

// Record-list messages.
namespace records {
inline constexpr int kNoOfRecords = 38;  // 2 bytes, signed, converted first
inline constexpr int kRecordsAt = 40;    // record 0
}  // namespace records

// The header's MessageLength counts the 2 header bytes before the message
// address: a whole message of kMessageLength bytes announces kMessageLength + 2.
inline constexpr int kLengthBeforeMessage = 2;

// Which header MessageLengths announce a form:
//   - the whole message, full (kMessageLength + 2);
//   - with olderMeasure, also full - 2: the classic forms were measured from
//     the message address in the older texts, and both measures are met;
//   - with recordSize > 0, a message trimmed to the records it carries:
//     recordsAt + 2 + recordSize x count, for 1 <= count <= capacity (42 +
//     recordSize x NoOfRecords for a record list); the count is the 2-byte
//     field at countAt (NoOfRecords, big-endian in the body, or the header's
//     ErrorCode).
// Two forms of one code never share a length (checked at compile time where
// the routing tables pair them, in decoder_support.h).
struct FormLengths {
  int full = 0;  // 0: no form
  int recordSize = 0;
  int capacity = 0;
  bool olderMeasure = false;
  int recordsAt = records::kRecordsAt;
  int countAt = records::kNoOfRecords;

  // messageLength: the header's; count: the message's record count (ignored
  // for forms without records).
  constexpr bool None() const { return full == 0; }
  constexpr bool Announces(int messageLength, int count) const {
    if (messageLength == full || (olderMeasure && messageLength == full - kLengthBeforeMessage)) return true;
    return recordSize > 0 && count >= 1 && count <= capacity &&
           messageLength == recordsAt + kLengthBeforeMessage + recordSize * count;
  }
};

// Blocks that repeat inside records.

// A classic market block of 26 bytes (7201 of every segment, F&O 17201): a
// 2-byte indicator left as received, then six 4-byte fields.
namespace market {
inline constexpr int kSize = 26;
inline constexpr int kIndicator = 0;         // 2 bytes, not converted
inline constexpr int kBuyVolume = 2;         // 4 bytes
inline constexpr int kBuyPrice = 6;          // 4 bytes
inline constexpr int kSellVolume = 10;       // 4 bytes
inline constexpr int kSellPrice = 14;        // 4 bytes
inline constexpr int kLastTradedPrice = 18;  // 4 bytes
inline constexpr int kLastTradeTime = 22;    // 4 bytes
inline constexpr std::array<Field, 6> kConverted = {
    {{kBuyVolume, 4}, {kBuyPrice, 4}, {kSellVolume, 4}, {kSellPrice, 4}, {kLastTradedPrice, 4}, {kLastTradeTime, 4}}};
inline constexpr std::array<Field, 1> kKept = {{{kIndicator, 2}}};
}  // namespace market

// Today's market block of 34 bytes (CM 7201, F&O 7201-wide): the volumes are
// 8 bytes wide.
namespace wideMarket {
inline constexpr int kSize = 34;
inline constexpr int kIndicator = 0;         // 2 bytes, not converted
inline constexpr int kBuyVolume = 2;         // 8 bytes
inline constexpr int kBuyPrice = 10;         // 4 bytes
inline constexpr int kSellVolume = 14;       // 8 bytes
inline constexpr int kSellPrice = 22;        // 4 bytes
inline constexpr int kLastTradedPrice = 26;  // 4 bytes
inline constexpr int kLastTradeTime = 30;    // 4 bytes
inline constexpr std::array<Field, 6> kConverted = {
    {{kBuyVolume, 8}, {kBuyPrice, 4}, {kSellVolume, 8}, {kSellPrice, 4}, {kLastTradedPrice, 4}, {kLastTradeTime, 4}}};
inline constexpr std::array<Field, 1> kKept = {{{kIndicator, 2}}};
}  // namespace wideMarket

// A classic depth entry (MBPInfo) of 12 bytes, both segments.
namespace mbpinfo {
inline constexpr int kSize = 12;
inline constexpr int kQuantity = 0;        // 4 bytes
inline constexpr int kPrice = 4;           // 4 bytes
inline constexpr int kNumberOfOrders = 8;  // 2 bytes
inline constexpr int kBbBuySellFlag = 10;  // 2 bytes
inline constexpr std::array<Field, 4> kConverted = {
    {{kQuantity, 4}, {kPrice, 4}, {kNumberOfOrders, 2}, {kBbBuySellFlag, 2}}};
}  // namespace mbpinfo

// Today's depth entry of 16 bytes (CM 7208, F&O 17208): an 8-byte quantity.
namespace wideMbpInfo {
inline constexpr int kSize = 16;
inline constexpr int kQuantity = 0;         // 8 bytes
inline constexpr int kPrice = 8;            // 4 bytes
inline constexpr int kNumberOfOrders = 12;  // 2 bytes
inline constexpr int kBbBuySellFlag = 14;   // 2 bytes
inline constexpr std::array<Field, 4> kConverted = {
    {{kQuantity, 8}, {kPrice, 4}, {kNumberOfOrders, 2}, {kBbBuySellFlag, 2}}};
}  // namespace wideMbpInfo

// The market-by-price record today, from its token to the end of the depth:
// CM 7208 and F&O 17208 share it, 4-byte token, 8-byte volume and 16-byte
// depth entries. What lies between the average trade price and the depth
// differs by segment (see mbpWide and fo::mbp17208).
namespace wideMbp {
inline constexpr int kToken = 0;                // 4 bytes
inline constexpr int kBookType = 4;             // 2 bytes
inline constexpr int kTradingStatus = 6;        // 2 bytes
inline constexpr int kVolumeTradedToday = 8;    // 8 bytes
inline constexpr int kLastTradedPrice = 16;     // 4 bytes
inline constexpr int kNetChangeIndicator = 20;  // 1 byte, not converted
inline constexpr int kFiller = 21;              // 1 byte, not converted
inline constexpr int kNetPriceChange = 22;      // 4 bytes
inline constexpr int kLastTradeQuantity = 26;   // 4 bytes
inline constexpr int kLastTradeTime = 30;       // 4 bytes
inline constexpr int kAverageTradePrice = 34;   // 4 bytes
inline constexpr int kSegmentFieldsAt = 38;     // 22 bytes of the segment's own
inline constexpr int kMbpInfoAt = 60;
inline constexpr int kMbpInfoSize = wideMbpInfo::kSize;
inline constexpr int kMbpInfoCount = 10;
inline constexpr int kMbpSellAt = 5;
inline constexpr int kTotalBuyFlag = 220;       // 2 bytes
inline constexpr int kTotalSellFlag = 222;      // 2 bytes
inline constexpr int kTotalBuyQuantity = 224;   // 8 bytes, integer
inline constexpr int kTotalSellQuantity = 232;  // 8 bytes, integer
inline constexpr int kIndicator = 240;          // 2 bytes, not converted
inline constexpr int kClosingPrice = 242;       // 4 bytes
inline constexpr int kOpenPrice = 246;          // 4 bytes
inline constexpr int kHighPrice = 250;          // 4 bytes
inline constexpr int kLowPrice = 254;           // 4 bytes
inline constexpr int kCommonEnd = 258;
// The converted fields both segments share (all but the segment's own).
inline constexpr auto kHead = FieldTable<9>{}
                                  .Add(kToken, 4).Add(kBookType, 2).Add(kTradingStatus, 2)
                                  .Add(kVolumeTradedToday, 8).Add(kLastTradedPrice, 4).Add(kNetPriceChange, 4)
                                  .Add(kLastTradeQuantity, 4).Add(kLastTradeTime, 4).Add(kAverageTradePrice, 4)
                                  .Table();
inline constexpr auto kDepthAndTail = FieldTable<48>{}
                                          .Repeat(wideMbpInfo::kConverted, kMbpInfoAt, kMbpInfoSize, kMbpInfoCount)
                                          .Add(kTotalBuyFlag, 2).Add(kTotalSellFlag, 2)
                                          .Add(kTotalBuyQuantity, 8).Add(kTotalSellQuantity, 8)
                                          .Add(kClosingPrice, 4).Add(kOpenPrice, 4).Add(kHighPrice, 4).Add(kLowPrice, 4)
                                          .Table();
inline constexpr std::array<Field, 3> kKept = {{{kNetChangeIndicator, 1}, {kFiller, 1}, {kIndicator, 2}}};
}  // namespace wideMbp

// ---------------------------------------------------------------------------
// Capital market (segment 1). Classic tokens are 2 bytes wide, today's 4.
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
inline constexpr int kMarketSize = market::kSize;
inline constexpr int kMarkets = 3;
// Within a market block.
inline constexpr int kIndicator = market::kIndicator;
inline constexpr int kBuyVolume = market::kBuyVolume;
inline constexpr int kBuyPrice = market::kBuyPrice;
inline constexpr int kSellVolume = market::kSellVolume;
inline constexpr int kSellPrice = market::kSellPrice;
inline constexpr int kLastTradedPrice = market::kLastTradedPrice;
inline constexpr int kLastTradeTime = market::kLastTradeTime;
// Market 0 fields from the record start.
inline constexpr int kBuyVolume0 = kMarketsAt + kBuyVolume;            // 4
inline constexpr int kBuyPrice0 = kMarketsAt + kBuyPrice;              // 8
inline constexpr int kSellVolume0 = kMarketsAt + kSellVolume;          // 12
inline constexpr int kSellPrice0 = kMarketsAt + kSellPrice;            // 16
inline constexpr int kLastTradedPrice0 = kMarketsAt + kLastTradedPrice;  // 20
inline constexpr auto kConverted =
    FieldTable<19>{}.Add(kToken, 2).Repeat(market::kConverted, kMarketsAt, kMarketSize, kMarkets).Table();
}  // namespace mw

// 7201 today (466 on the wire): a 4-byte token and three 34-byte market
// blocks with 8-byte volumes.
namespace mwWide {
inline constexpr int kCode = code::kMarketWatch;
inline constexpr int kRecordSize = 106;
inline constexpr int kCapacity = 4;
inline constexpr int kMessageLength = 464;
inline constexpr int kToken = 0;  // 4 bytes
inline constexpr int kMarketsAt = 4;
inline constexpr int kMarketSize = wideMarket::kSize;
inline constexpr int kMarkets = 3;
inline constexpr int kBuyVolume0 = kMarketsAt + wideMarket::kBuyVolume;              // 6, 8 bytes
inline constexpr int kBuyPrice0 = kMarketsAt + wideMarket::kBuyPrice;                // 14
inline constexpr int kSellVolume0 = kMarketsAt + wideMarket::kSellVolume;            // 18, 8 bytes
inline constexpr int kSellPrice0 = kMarketsAt + wideMarket::kSellPrice;              // 26
inline constexpr int kLastTradedPrice0 = kMarketsAt + wideMarket::kLastTradedPrice;  // 30
inline constexpr auto kConverted =
    FieldTable<19>{}.Add(kToken, 4).Repeat(wideMarket::kConverted, kMarketsAt, kMarketSize, kMarkets).Table();
inline constexpr auto kKept = FieldTable<3>{}.Repeat(wideMarket::kKept, kMarketsAt, kMarketSize, kMarkets).Table();
}  // namespace mwWide

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
inline constexpr std::array<Field, 5> kConverted = {
    {{kToken, 2}, {kMarketType, 2}, {kFillPrice, 4}, {kFillVolume, 4}, {kMarketIndexValue, 4}}};
}  // namespace ticker

// 18703, ticker today (replaces 7202): a 4-byte token.
namespace ticker18703 {
inline constexpr int kCode = code::kTicker18703;
inline constexpr int kRecordSize = 18;
inline constexpr int kCapacity = 28;
inline constexpr int kMessageLength = 544;
inline constexpr int kToken = 0;              // 4 bytes
inline constexpr int kMarketType = 4;         // 2 bytes
inline constexpr int kFillPrice = 6;          // 4 bytes
inline constexpr int kFillVolume = 10;        // 4 bytes
inline constexpr int kMarketIndexValue = 14;  // 4 bytes
inline constexpr std::array<Field, 5> kConverted = {
    {{kToken, 4}, {kMarketType, 2}, {kFillPrice, 4}, {kFillVolume, 4}, {kMarketIndexValue, 4}}};
inline constexpr std::array<Field, 0> kKept = {};
}  // namespace ticker18703

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
inline constexpr std::array<Field, 1> kConverted = {{{kIndexValue, 4}}};
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
inline constexpr std::array<Field, 11> kConverted = {
    {{kIndexValue, 4},   {kHighIndexValue, 4}, {kLowIndexValue, 4}, {kOpeningIndex, 4},
     {kClosingIndex, 4}, {kPercentChange, 4},  {kYearlyHigh, 4},    {kYearlyLow, 4},
     {kNoOfUpMoves, 4},  {kNoOfDownMoves, 4},  {kMarketCapitalisation, 8}}};
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
inline constexpr int kMbpInfoSize = mbpinfo::kSize;
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
inline constexpr auto kConverted =
    FieldTable<64>{}
        .Add(kToken, 2).Add(kBookType, 2).Add(kTradingStatus, 2).Add(kVolumeTradedToday, 4).Add(kLastTradedPrice, 4)
        .Add(kNetPriceChange, 4).Add(kLastTradeQuantity, 4).Add(kLastTradeTime, 4).Add(kAverageTradePrice, 4)
        .Add(kAuctionNumber, 2).Add(kAuctionStatus, 2).Add(kInitiatorType, 2).Add(kInitiatorPrice, 4)
        .Add(kInitiatorQuantity, 4).Add(kAuctionPrice, 4).Add(kAuctionQuantity, 4)
        .Repeat(mbpinfo::kConverted, kMbpInfoAt, kMbpInfoSize, kMbpInfoCount)
        .Add(kTotalBuyFlag, 2).Add(kTotalSellFlag, 2).Add(kTotalBuyQuantity, 8).Add(kTotalSellQuantity, 8)
        .Add(kClosingPrice, 4).Add(kOpenPrice, 4).Add(kHighPrice, 4).Add(kLowPrice, 4)
        .Table();
}  // namespace mbp

// 7208 today (566 on the wire): the shared record with the auction fields and
// an indicative close price.
namespace mbpWide {
inline constexpr int kCode = code::kMarketByPrice;
inline constexpr int kRecordSize = 262;
inline constexpr int kCapacity = 2;
inline constexpr int kMessageLength = 564;
inline constexpr int kAuctionNumber = 38;       // 2 bytes
inline constexpr int kAuctionStatus = 40;       // 2 bytes
inline constexpr int kInitiatorType = 42;       // 2 bytes
inline constexpr int kInitiatorPrice = 44;      // 4 bytes
inline constexpr int kInitiatorQuantity = 48;   // 4 bytes
inline constexpr int kAuctionPrice = 52;        // 4 bytes
inline constexpr int kAuctionQuantity = 56;     // 4 bytes
inline constexpr int kIndicativeClose = 258;    // 4 bytes
inline constexpr auto kConverted = FieldTable<65>{}
                                       .Repeat(wideMbp::kHead, 0, 0, 1)
                                       .Add(kAuctionNumber, 2).Add(kAuctionStatus, 2).Add(kInitiatorType, 2)
                                       .Add(kInitiatorPrice, 4).Add(kInitiatorQuantity, 4).Add(kAuctionPrice, 4)
                                       .Add(kAuctionQuantity, 4)
                                       .Repeat(wideMbp::kDepthAndTail, 0, 0, 1)
                                       .Add(kIndicativeClose, 4)
                                       .Table();
inline constexpr auto kKept = wideMbp::kKept;
}  // namespace mbpWide

// 7305, security update: the decoder copies and converts the first 256 bytes.
namespace security {
inline constexpr int kCode = code::kSecurityUpdate;
inline constexpr int kMessageLength = 256;
inline constexpr int kToken = 38;   // 2 bytes
inline constexpr int kTokenWidth = 2;
inline constexpr int kSymbol = 40;  // 10 characters
inline constexpr int kSymbolSize = 10;
inline constexpr int kSeries = 50;  // 2 characters
inline constexpr int kSeriesSize = 2;
inline constexpr std::array<Field, 1> kConverted = {{{kToken, kTokenWidth}}};
}  // namespace security

// 18720, security master change (replaces 7305; 260 on the wire). The decoder
// reads the token, the symbol and the series; the rest of the body is
// neither read nor converted.
namespace security18720 {
inline constexpr int kCode = code::kSecurityUpdate18720;
inline constexpr int kMessageLength = 258;
inline constexpr int kToken = 38;  // 4 bytes
inline constexpr int kTokenWidth = 4;
inline constexpr int kSymbol = 42;  // 10 characters
inline constexpr int kSymbolSize = 10;
inline constexpr int kSeries = 52;  // 2 characters
inline constexpr int kSeriesSize = 2;
inline constexpr std::array<Field, 1> kConverted = {{{kToken, kTokenWidth}}};
}  // namespace security18720

}  // namespace cm

// ---------------------------------------------------------------------------
// F&O (segment 2); currency derivatives (segment 3) share the classic
// layouts. Tokens are 4 bytes wide.
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
inline constexpr int kMarketSize = market::kSize;
inline constexpr int kMarkets = 3;
inline constexpr int kOpenInterest = 82;  // 4 bytes
inline constexpr int kBuyVolume0 = kMarketsAt + market::kBuyVolume;              // 6
inline constexpr int kBuyPrice0 = kMarketsAt + market::kBuyPrice;                // 10
inline constexpr int kSellVolume0 = kMarketsAt + market::kSellVolume;            // 14
inline constexpr int kSellPrice0 = kMarketsAt + market::kSellPrice;              // 18
inline constexpr int kLastTradedPrice0 = kMarketsAt + market::kLastTradedPrice;  // 22
inline constexpr auto kConverted = FieldTable<20>{}
                                       .Add(kToken, 4)
                                       .Repeat(market::kConverted, kMarketsAt, kMarketSize, kMarkets)
                                       .Add(kOpenInterest, 4)
                                       .Table();
}  // namespace mw

// 17201 (F&O 9.43, 492 on the wire): the classic record with an 8-byte open
// interest.
namespace mw17201 {
inline constexpr int kCode = code::kMarketWatch17201;
inline constexpr int kRecordSize = 90;
inline constexpr int kCapacity = 5;
inline constexpr int kMessageLength = 490;
inline constexpr int kToken = 0;  // 4 bytes
inline constexpr int kMarketsAt = 4;
inline constexpr int kMarketSize = market::kSize;
inline constexpr int kMarkets = 3;
inline constexpr int kOpenInterest = 82;  // 8 bytes
inline constexpr int kBuyVolume0 = mw::kBuyVolume0;
inline constexpr int kBuyPrice0 = mw::kBuyPrice0;
inline constexpr int kSellVolume0 = mw::kSellVolume0;
inline constexpr int kSellPrice0 = mw::kSellPrice0;
inline constexpr int kLastTradedPrice0 = mw::kLastTradedPrice0;
inline constexpr auto kConverted = FieldTable<20>{}
                                       .Add(kToken, 4)
                                       .Repeat(market::kConverted, kMarketsAt, kMarketSize, kMarkets)
                                       .Add(kOpenInterest, 8)
                                       .Table();
inline constexpr auto kKept = FieldTable<3>{}.Repeat(market::kKept, kMarketsAt, kMarketSize, kMarkets).Table();
}  // namespace mw17201

// 7201 today (F&O 9.48, 498 on the wire): the capital market's record of
// today with an 8-byte open interest behind it.
namespace mwWide {
inline constexpr int kCode = code::kMarketWatch;
inline constexpr int kRecordSize = 114;
inline constexpr int kCapacity = 4;
inline constexpr int kMessageLength = 496;
inline constexpr int kToken = 0;  // 4 bytes
inline constexpr int kMarketsAt = cm::mwWide::kMarketsAt;
inline constexpr int kMarketSize = wideMarket::kSize;
inline constexpr int kMarkets = 3;
inline constexpr int kOpenInterest = 106;  // 8 bytes
inline constexpr int kBuyVolume0 = cm::mwWide::kBuyVolume0;
inline constexpr int kBuyPrice0 = cm::mwWide::kBuyPrice0;
inline constexpr int kSellVolume0 = cm::mwWide::kSellVolume0;
inline constexpr int kSellPrice0 = cm::mwWide::kSellPrice0;
inline constexpr int kLastTradedPrice0 = cm::mwWide::kLastTradedPrice0;
inline constexpr auto kConverted = FieldTable<20>{}
                                       .Add(kToken, 4)
                                       .Repeat(wideMarket::kConverted, kMarketsAt, kMarketSize, kMarkets)
                                       .Add(kOpenInterest, 8)
                                       .Table();
inline constexpr auto kKept = cm::mwWide::kKept;
}  // namespace mwWide

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
inline constexpr std::array<Field, 7> kConverted = {{{kToken, 4},        {kMarketType, 2},
                                                     {kFillPrice, 4},    {kFillVolume, 4},
                                                     {kOpenInterest, 4}, {kDayHighOpenInterest, 4},
                                                     {kDayLowOpenInterest, 4}}};
}  // namespace ticker

// 17202, ticker today (replaces 7202; 498 on the wire): 8-byte open
// interests; the fill volume stays 4 bytes.
namespace ticker17202 {
inline constexpr int kCode = code::kTicker17202;
inline constexpr int kRecordSize = 38;
inline constexpr int kCapacity = 12;
inline constexpr int kMessageLength = 496;
inline constexpr int kToken = 0;                 // 4 bytes
inline constexpr int kMarketType = 4;            // 2 bytes
inline constexpr int kFillPrice = 6;             // 4 bytes
inline constexpr int kFillVolume = 10;           // 4 bytes
inline constexpr int kOpenInterest = 14;         // 8 bytes
inline constexpr int kDayHighOpenInterest = 22;  // 8 bytes
inline constexpr int kDayLowOpenInterest = 30;   // 8 bytes
inline constexpr std::array<Field, 7> kConverted = {{{kToken, 4},        {kMarketType, 2},
                                                     {kFillPrice, 4},    {kFillVolume, 4},
                                                     {kOpenInterest, 8}, {kDayHighOpenInterest, 8},
                                                     {kDayLowOpenInterest, 8}}};
inline constexpr std::array<Field, 0> kKept = {};
}  // namespace ticker17202

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
inline constexpr std::array<Field, 1> kConverted = {{{kIndexValue, 4}}};
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

// The capital-market table with the token widened and the rest shifted.
constexpr std::array<Field, cm::mbp::kConverted.size()> MakeConverted() {
  std::array<Field, cm::mbp::kConverted.size()> t{};
  std::size_t i = 0;
  for (const Field& f : cm::mbp::kConverted) {
    t[i++] = f.offset == cm::mbp::kToken ? Field{kToken, 4} : Field{f.offset + kShift, f.width};
  }
  return t;
}
inline constexpr auto kConverted = MakeConverted();
}  // namespace mbp

// 17208, market by price today (replaces 7208; 558 on the wire): the shared
// record of today with reserved bytes and the imbalance quantity where the
// capital market has its auction fields.
namespace mbp17208 {
inline constexpr int kCode = code::kMarketByPrice17208;
inline constexpr int kRecordSize = 258;
inline constexpr int kCapacity = 2;
inline constexpr int kMessageLength = 556;
inline constexpr int kReserved = 38;            // 14 bytes, not converted
inline constexpr int kReservedSize = 14;
inline constexpr int kImbalanceQuantity = 52;   // 8 bytes
inline constexpr auto kConverted = FieldTable<58>{}
                                       .Repeat(wideMbp::kHead, 0, 0, 1)
                                       .Add(kImbalanceQuantity, 8)
                                       .Repeat(wideMbp::kDepthAndTail, 0, 0, 1)
                                       .Table();
inline constexpr auto kKept = FieldTable<4>{}.Repeat(wideMbp::kKept, 0, 0, 1).Add(kReserved, kReservedSize).Table();
}  // namespace mbp17208

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
inline constexpr std::array<Field, 3> kLevel = {{{kLevelOrders, 2}, {kLevelVolume, 4}, {kLevelPrice, 4}}};
inline constexpr auto kConverted = FieldTable<44>{}
                                       .Add(kToken1, 4).Add(kToken2, 4).Add(kBuyDepthCount, 2).Add(kSellDepthCount, 2)
                                       .Add(kLastActiveTime, 4).Add(kTradedVolume, 4).Add(kTotalTradedValue, 8)
                                       .Repeat(kLevel, kBuyLevelsAt, kLevelSize, kLevels)
                                       .Repeat(kLevel, kSellLevelsAt, kLevelSize, kLevels)
                                       .Add(kTotalBuyQuantity, 8).Add(kTotalSellQuantity, 8)
                                       .Add(kOpenPriceDifference, 4).Add(kDayHighPriceDifference, 4)
                                       .Add(kDayLowPriceDifference, 4).Add(kLastTradedPriceDifference, 4)
                                       .Add(kLastUpdateTime, 4)
                                       .Table();
}  // namespace spread

// 17211, spread market by price today (replaces 7211; 248 on the wire):
// 8-byte volumes, 14-byte levels.
namespace spread17211 {
inline constexpr int kCode = code::kSpread17211;
inline constexpr int kMessageLength = 246;
inline constexpr int kToken1 = 38;            // 4 bytes
inline constexpr int kToken2 = 42;            // 4 bytes
inline constexpr int kBuyDepthCount = 46;     // 2 bytes
inline constexpr int kSellDepthCount = 48;    // 2 bytes
inline constexpr int kLastActiveTime = 50;    // 4 bytes
inline constexpr int kTradedVolume = 54;      // 8 bytes
inline constexpr int kTotalTradedValue = 62;  // 8 bytes, double
inline constexpr int kBuyLevelsAt = 70;
inline constexpr int kSellLevelsAt = 140;
inline constexpr int kLevelSize = 14;
inline constexpr int kLevels = 5;
inline constexpr int kLevelOrders = 0;   // 2 bytes
inline constexpr int kLevelVolume = 2;   // 8 bytes
inline constexpr int kLevelPrice = 10;   // 4 bytes
inline constexpr int kTotalBuyVolume = 210;   // 8 bytes, double
inline constexpr int kTotalSellVolume = 218;  // 8 bytes, double
inline constexpr int kOpenPriceDifference = 226;
inline constexpr int kDayHighPriceDifference = 230;
inline constexpr int kDayLowPriceDifference = 234;
inline constexpr int kLastTradedPriceDifference = 238;
inline constexpr int kLastUpdateTime = 242;
inline constexpr std::array<Field, 3> kLevel = {{{kLevelOrders, 2}, {kLevelVolume, 8}, {kLevelPrice, 4}}};
inline constexpr auto kConverted = FieldTable<44>{}
                                       .Add(kToken1, 4).Add(kToken2, 4).Add(kBuyDepthCount, 2).Add(kSellDepthCount, 2)
                                       .Add(kLastActiveTime, 4).Add(kTradedVolume, 8).Add(kTotalTradedValue, 8)
                                       .Repeat(kLevel, kBuyLevelsAt, kLevelSize, kLevels)
                                       .Repeat(kLevel, kSellLevelsAt, kLevelSize, kLevels)
                                       .Add(kTotalBuyVolume, 8).Add(kTotalSellVolume, 8)
                                       .Add(kOpenPriceDifference, 4).Add(kDayHighPriceDifference, 4)
                                       .Add(kDayLowPriceDifference, 4).Add(kLastTradedPriceDifference, 4)
                                       .Add(kLastUpdateTime, 4)
                                       .Table();
inline constexpr std::array<Field, 0> kKept = {};
}  // namespace spread17211

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
inline constexpr std::array<Field, 3> kConverted = {{{kToken, 4}, {kExpiryDate, 4}, {kStrikePrice, 4}}};
}  // namespace contract

// 7732 (F&O only): token and the value reported.
namespace v7732 {
inline constexpr int kCode = code::kValue7732;
inline constexpr int kToken = 38;   // 4 bytes
inline constexpr int kValue = 104;  // 4 bytes
inline constexpr int kFirstBlockAt = 92;  // 4-byte fields from here on, the value among them
inline constexpr int kEnd = 124;          // the converted fields lie below this
inline constexpr std::array<Field, 1> kEach = {{{0, 4}}};
inline constexpr auto kConverted =
    FieldTable<9>{}.Add(kToken, 4).Repeat(kEach, kFirstBlockAt, 4, (kEnd - kFirstBlockAt) / 4).Table();
}  // namespace v7732

// 7733 (F&O only): token and the value reported.
namespace v7733 {
inline constexpr int kCode = code::kValue7733;
inline constexpr int kToken = 38;   // 4 bytes
inline constexpr int kValue = 112;  // 4 bytes
inline constexpr int kShortsAt = 64;    // three 2-byte fields
inline constexpr int kLongsAt = 72;     // three 4-byte fields
inline constexpr int kDoublesAt = 84;   // two 8-byte fields
inline constexpr int kRunAt = 100;      // 4-byte fields to 128, the value among them
inline constexpr int kRunEnd = 132;
inline constexpr int kLateDoublesAt = 132;  // two more 8-byte fields
inline constexpr int kEnd = 148;        // the converted fields lie below this
inline constexpr std::array<Field, 1> kShort = {{{0, 2}}};
inline constexpr std::array<Field, 1> kLong = {{{0, 4}}};
inline constexpr std::array<Field, 1> kDouble = {{{0, 8}}};
inline constexpr auto kConverted = FieldTable<19>{}
                                       .Add(kToken, 4)
                                       .Repeat(kShort, kShortsAt, 2, 3)
                                       .Repeat(kLong, kLongsAt, 4, 3)
                                       .Repeat(kLong, kRunAt, 4, (kRunEnd - kRunAt) / 4)
                                       .Repeat(kDouble, kDoublesAt, 8, 2)
                                       .Repeat(kDouble, kLateDoublesAt, 8, 2)
                                       .Table();
}  // namespace v7733

// 7130: a list of 8-byte entries from 38, two 4-byte fields each; the number
// of entries is the header's ErrorCode.
namespace pairs7130 {
inline constexpr int kCode = code::kPairs7130;
inline constexpr int kEntriesAt = 38;
inline constexpr int kEntrySize = 8;
inline constexpr int kCapacity = 0;  // bounded by the bytes that arrived only
inline constexpr std::array<Field, 2> kConverted = {{{0, 4}, {4, 4}}};  // within an entry
}  // namespace pairs7130

// 17130, underlying open interest (replaces 7130; 508 on the wire): entries
// of a 4-byte token and an 8-byte open interest, at most 39, counted by the
// header's ErrorCode.
namespace oi17130 {
inline constexpr int kCode = code::kOpenInterest17130;
inline constexpr int kEntriesAt = 38;
inline constexpr int kEntrySize = 12;
inline constexpr int kCapacity = 39;
inline constexpr int kMessageLength = 506;
inline constexpr int kToken = 0;          // 4 bytes
inline constexpr int kOpenInterest = 4;   // 8 bytes
inline constexpr std::array<Field, 2> kConverted = {{{kToken, 4}, {kOpenInterest, 8}}};  // within an entry
inline constexpr std::array<Field, 0> kKept = {};
}  // namespace oi17130

}  // namespace fo

// ---------------------------------------------------------------------------
// Currency derivatives (segment 3): the classic F&O layouts, and 7213 of its
// own. No protocol text of today's currency wire is known: the segment keeps
// the classic forms.
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
inline constexpr int kLeadAt = 38;  // four 4-byte fields: token, two more, the value
inline constexpr int kValue = 50;  // 4 bytes, the value reported
inline constexpr int kLast = 70;   // 4 bytes
inline constexpr std::array<Field, 1> kEach = {{{0, 4}}};
inline constexpr auto kConverted = FieldTable<5>{}.Repeat(kEach, kLeadAt, 4, 4).Add(kLast, 4).Table();
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

// Converts every field of table at base that lies wholly within the first
// length bytes from base; a field cut short by the end stays as it arrived.
template <const auto& kTable>
inline void ConvertFields(std::uint8_t* base, int length) {
  for (const Field& f : kTable) {
    if (f.offset + f.width <= length) ConvertField(base + f.offset, f.width);
  }
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

// The packet of a message of today's forms: the header, then the body up to
// the end the header's MessageLength gives (46 + MessageLength - 40).
constexpr int PacketLengthOfMessageLength(int messageLength) {
  return forwarded::kHeaderSize + messageLength - header::kSize;
}

// Packet length of a forwarded message by segment (1 NCM, 2 NFO, 3 NCD) and
// transaction code, for the whole classic form of the code (today's forms:
// PacketLengthOfMessageLength); 0 when that segment forwards no such message.
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

// The header's MessageLength of a whole message of a layout.
constexpr int WireLength(int messageLength) { return messageLength + kLengthBeforeMessage; }

// ---------------------------------------------------------------------------
// Layout sanity. Classic forms: capacities, message and packet lengths agree.
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
static_assert(FieldsEnd(cm::mw::kConverted) == cm::mw::kRecordSize);
static_assert(FieldsEnd(cm::mbp::kConverted) == cm::mbp::kRecordSize);
static_assert(FieldsEnd(fo::mw::kConverted) == fo::mw::kRecordSize);
static_assert(FieldsEnd(fo::mbp::kConverted) == fo::mbp::kRecordSize);
static_assert(FieldsEnd(fo::ticker::kConverted) == fo::ticker::kRecordSize);
static_assert(FieldsEnd(cm::ticker::kConverted) == cm::ticker::kRecordSize);
static_assert(FieldsEnd(fo::spread::kConverted) == fo::spread::kMessageLength);
static_assert(FieldsEnd(cd::v7213::kConverted) == cd::v7213::kMessageLength);
static_assert(FieldsEnd(fo::v7732::kConverted) == fo::v7732::kEnd);
static_assert(FieldsEnd(fo::v7733::kConverted) == fo::v7733::kEnd);
static_assert(fo::mbp::kMbpInfoAt + fo::mbp::kMbpInfoCount * fo::mbp::kMbpInfoSize == fo::mbp::kTotalBuyFlag);
static_assert(cm::mbp::kMbpInfoAt + cm::mbp::kMbpInfoCount * cm::mbp::kMbpInfoSize == cm::mbp::kTotalBuyFlag);

// Today's forms: every byte of each record (or body) is a converted or a kept
// field, and capacity times record plus the head is the MessageLength the
// exchange's texts give (the numbers typed here, not derived).
static_assert(Tiles(cm::mwWide::kConverted, cm::mwWide::kKept, 0, cm::mwWide::kRecordSize));
static_assert(Tiles(cm::ticker18703::kConverted, cm::ticker18703::kKept, 0, cm::ticker18703::kRecordSize));
static_assert(Tiles(cm::mbpWide::kConverted, cm::mbpWide::kKept, 0, cm::mbpWide::kRecordSize));
static_assert(Tiles(fo::mw17201::kConverted, fo::mw17201::kKept, 0, fo::mw17201::kRecordSize));
static_assert(Tiles(fo::mwWide::kConverted, fo::mwWide::kKept, 0, fo::mwWide::kRecordSize));
static_assert(Tiles(fo::ticker17202::kConverted, fo::ticker17202::kKept, 0, fo::ticker17202::kRecordSize));
static_assert(Tiles(fo::mbp17208::kConverted, fo::mbp17208::kKept, 0, fo::mbp17208::kRecordSize));
static_assert(Tiles(fo::spread17211::kConverted, fo::spread17211::kKept, header::kBodyAt,
                    fo::spread17211::kMessageLength));
static_assert(Tiles(fo::oi17130::kConverted, fo::oi17130::kKept, 0, fo::oi17130::kEntrySize));
static_assert(wideMbp::kMbpInfoAt + wideMbp::kMbpInfoCount * wideMbp::kMbpInfoSize == wideMbp::kTotalBuyFlag);
static_assert(wideMbp::kCommonEnd == fo::mbp17208::kRecordSize);
static_assert(WireLength(records::kRecordsAt + cm::mwWide::kCapacity * cm::mwWide::kRecordSize) == 466);
static_assert(WireLength(records::kRecordsAt + cm::ticker18703::kCapacity * cm::ticker18703::kRecordSize) == 546);
static_assert(WireLength(records::kRecordsAt + cm::mbpWide::kCapacity * cm::mbpWide::kRecordSize) == 566);
static_assert(WireLength(records::kRecordsAt + fo::mw17201::kCapacity * fo::mw17201::kRecordSize) == 492);
static_assert(WireLength(records::kRecordsAt + fo::mwWide::kCapacity * fo::mwWide::kRecordSize) == 498);
static_assert(WireLength(records::kRecordsAt + fo::ticker17202::kCapacity * fo::ticker17202::kRecordSize) == 498);
static_assert(WireLength(records::kRecordsAt + fo::mbp17208::kCapacity * fo::mbp17208::kRecordSize) == 558);
static_assert(WireLength(fo::oi17130::kEntriesAt + fo::oi17130::kCapacity * fo::oi17130::kEntrySize) == 508);
static_assert(WireLength(fo::spread17211::kMessageLength) == 248);
static_assert(WireLength(cm::security18720::kMessageLength) == 260);
static_assert(cm::mwWide::kMessageLength == records::kRecordsAt + cm::mwWide::kCapacity * cm::mwWide::kRecordSize);
static_assert(cm::ticker18703::kMessageLength ==
              records::kRecordsAt + cm::ticker18703::kCapacity * cm::ticker18703::kRecordSize);
static_assert(cm::mbpWide::kMessageLength == records::kRecordsAt + cm::mbpWide::kCapacity * cm::mbpWide::kRecordSize);
static_assert(fo::mw17201::kMessageLength == records::kRecordsAt + fo::mw17201::kCapacity * fo::mw17201::kRecordSize);
static_assert(fo::mwWide::kMessageLength == records::kRecordsAt + fo::mwWide::kCapacity * fo::mwWide::kRecordSize);
static_assert(fo::ticker17202::kMessageLength ==
              records::kRecordsAt + fo::ticker17202::kCapacity * fo::ticker17202::kRecordSize);
static_assert(fo::mbp17208::kMessageLength ==
              records::kRecordsAt + fo::mbp17208::kCapacity * fo::mbp17208::kRecordSize);
static_assert(fo::oi17130::kMessageLength == fo::oi17130::kEntriesAt + fo::oi17130::kCapacity * fo::oi17130::kEntrySize);
// Every packet fits the packet buffer.
static_assert(PacketLengthOfMessageLength(WireLength(cm::mbpWide::kMessageLength)) <= forwarded::kBufferSize);

}  // namespace fh::nse
