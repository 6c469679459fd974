// The one way tests build NSE broadcast messages: MessageBuilder lays down a
// wire message (big-endian) field by field from the layout names, together
// with the image the decoder should leave after converting (converted fields
// in host order), and one builder per layout fills its records. MarkedBuffer
// hands the bytes to a decoder in an exact-size heap block with a marker byte
// behind it. Golden bytes do not come from here (they are typed from the
// tables in tests/golden/); these builders are for behaviour and traffic.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"

namespace fh::testing {

using namespace fh::nse;

// One wire message, built field by field. Wire() is what the framing hands
// the decoder (BcastHeader fields the framing converts already in host order,
// everything else big-endian); Host() is the same message after the decoder's
// conversion of the fields set through the converted setters.
class MessageBuilder {
 public:
  static constexpr int kSize = 1024;

  explicit MessageBuilder(int transactionCode, int messageLength = 0) {
    // The message address lies 2 bytes into BcastHeader; the two bytes before
    // it are not part of what a decoder is handed.
    SetHeader16(header::kTransactionCode, static_cast<std::int16_t>(transactionCode));
    SetHeader16(header::kMessageLength, static_cast<std::int16_t>(messageLength));
    SetHeader32(header::kLogTime, 0x01020304);
    for (int i = 0; i < 2; ++i) Raw8(header::kAlphaChar + i, static_cast<std::uint8_t>('A' + i));
    for (int i = 0; i < 8; ++i) {
      Raw8(header::kReserved2 + i, static_cast<std::uint8_t>(0x10 + i));
      Raw8(header::kTimeStamp1 + i, static_cast<std::uint8_t>(0x20 + i));
      Raw8(header::kTimeStamp2 + i, static_cast<std::uint8_t>(0x30 + i));
    }
    Raw8(header::kReserved, 0xAB);
    Raw8(header::kReserved + 1, 0xCD);
  }

  // Header fields the framing has converted: host order in both images.
  void SetHeader16(int at, std::int16_t v) { Store16(wire_ + at, v); Store16(host_ + at, v); }
  void SetHeader32(int at, std::int32_t v) { Store32(wire_ + at, v); Store32(host_ + at, v); }
  void ErrorCode(int v) { SetHeader16(header::kErrorCode, static_cast<std::int16_t>(v)); }

  // Fields the decoder converts: big-endian on the wire, host order after.
  void C16(int at, std::int16_t v) { StoreBe16(wire_ + at, v); Store16(host_ + at, v); }
  void C32(int at, std::int32_t v) { StoreBe32(wire_ + at, v); Store32(host_ + at, v); }
  void CDouble(int at, double v) { StoreBeDouble(wire_ + at, v); std::memcpy(host_ + at, &v, 8); }
  // Bytes the decoder leaves as they are.
  void Raw8(int at, std::uint8_t v) { wire_[at] = v; host_[at] = v; }
  void Text(int at, const std::string& text, int width) {
    for (int i = 0; i < width; ++i) Raw8(at + i, i < static_cast<int>(text.size()) ? text[i] : ' ');
  }
  // Bytes set on the wire only (for malformed input).
  void WireByte(int at, std::uint8_t v) { wire_[at] = v; }

  void NoOfRecords(int n) { C16(records::kNoOfRecords, static_cast<std::int16_t>(n)); }
  static int RecordAt(int i, int recordSize) { return records::kRecordsAt + i * recordSize; }

  std::vector<std::uint8_t> Wire(int length) const { return std::vector<std::uint8_t>(wire_, wire_ + length); }
  const std::uint8_t* HostBytes() const { return host_; }
  std::uint8_t* WireBytes() { return wire_; }

  // The ForwardedPacket a decoder should build from this message.
  std::string ExpectedPacket(int segmentCode, int divisor, int packetLength) const {
    std::uint8_t packet[forwarded::kBufferSize] = {};
    const int n = BuildForwardedHeader(packet, host_, segmentCode, divisor,
                                       packetLength - forwarded::kHeaderSize);
    EXPECT_EQ(n, packetLength);
    std::memcpy(packet + forwarded::kBodyAt, host_ + header::kBodyAt,
                static_cast<std::size_t>(packetLength - forwarded::kHeaderSize));
    return std::string(reinterpret_cast<const char*>(packet), packetLength);
  }

 private:
  std::uint8_t wire_[kSize] = {};
  std::uint8_t host_[kSize] = {};
};

// A caller's buffer of exactly length bytes (on the heap, so AddressSanitizer
// sees any read past it) followed by a marker byte that no decoder may touch.
class MarkedBuffer {
 public:
  static constexpr std::uint8_t kMarker = 0xA5;

  explicit MarkedBuffer(const std::vector<std::uint8_t>& bytes)
      : length_(static_cast<int>(bytes.size())), bytes_(new std::uint8_t[bytes.size() + 1]) {
    if (!bytes.empty()) std::memcpy(bytes_.get(), bytes.data(), bytes.size());
    bytes_[bytes.size()] = kMarker;
  }
  std::uint8_t* data() { return bytes_.get(); }
  int length() const { return length_; }
  bool MarkerIntact() const { return bytes_[length_] == kMarker; }
  std::vector<std::uint8_t> Content() const { return std::vector<std::uint8_t>(bytes_.get(), bytes_.get() + length_); }

 private:
  int length_;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

// Capital-market 7201: market 0 filled, markets 1 and 2 with their own values.
struct CmWatch {
  int token;
  int ltp;
  int buyPrice = 0, sellPrice = 0, buyVolume = 0, sellVolume = 0, lastTradeTime = 0;
};
inline MessageBuilder CmMarketWatchMessage(const std::vector<CmWatch>& rows, int declared = -1) {
  namespace L = cm::mw;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(declared >= 0 ? declared : static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const int r = MessageBuilder::RecordAt(i, L::kRecordSize);
    const CmWatch& w = rows[i];
    m.C16(r + L::kToken, static_cast<std::int16_t>(w.token));
    for (int k = 0; k < L::kMarkets; ++k) {
      const int b = r + L::kMarketsAt + k * L::kMarketSize;
      m.Raw8(b + L::kIndicator, 0x7F);
      m.Raw8(b + L::kIndicator + 1, static_cast<std::uint8_t>(k));
      m.C32(b + L::kBuyVolume, k == 0 ? w.buyVolume : 1000 + k);
      m.C32(b + L::kBuyPrice, k == 0 ? w.buyPrice : 2000 + k);
      m.C32(b + L::kSellVolume, k == 0 ? w.sellVolume : 3000 + k);
      m.C32(b + L::kSellPrice, k == 0 ? w.sellPrice : 4000 + k);
      m.C32(b + L::kLastTradedPrice, k == 0 ? w.ltp : 5000 + k);
      m.C32(b + L::kLastTradeTime, k == 0 ? w.lastTradeTime : 6000 + k);
    }
  }
  return m;
}

// Capital-market 7202.
struct CmTick {
  int token;
  int marketType;
  int fillPrice;
  int fillVolume = 0;
  int indexValue = 0;
};
inline MessageBuilder CmTickerMessage(const std::vector<CmTick>& rows, int declared = -1) {
  namespace L = cm::ticker;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(declared >= 0 ? declared : static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const int r = MessageBuilder::RecordAt(i, L::kRecordSize);
    m.C16(r + L::kToken, static_cast<std::int16_t>(rows[i].token));
    m.C16(r + L::kMarketType, static_cast<std::int16_t>(rows[i].marketType));
    m.C32(r + L::kFillPrice, rows[i].fillPrice);
    m.C32(r + L::kFillVolume, rows[i].fillVolume);
    m.C32(r + L::kMarketIndexValue, rows[i].indexValue);
  }
  return m;
}

// Market by price record, either segment (L is cm::mbp or fo::mbp).
struct Depth {
  int token;
  int ltp;
  int tradingStatus = 2;
  int bookType = 1;
  int volume = 0, lastTradeQuantity = 0, lastTradeTime = 0;
  double totalBuy = 0, totalSell = 0;
};
template <bool kWideToken>
inline void PutDepthRecord(MessageBuilder& m, int r, const Depth& d) {
  if constexpr (kWideToken) {
    namespace L = fo::mbp;
    m.C32(r + L::kToken, d.token);
  } else {
    m.C16(r + cm::mbp::kToken, static_cast<std::int16_t>(d.token));
  }
  const int s = kWideToken ? fo::mbp::kShift : 0;
  namespace C = cm::mbp;
  m.C16(r + s + C::kBookType, static_cast<std::int16_t>(d.bookType));
  m.C16(r + s + C::kTradingStatus, static_cast<std::int16_t>(d.tradingStatus));
  m.C32(r + s + C::kVolumeTradedToday, d.volume);
  m.C32(r + s + C::kLastTradedPrice, d.ltp);
  m.Raw8(r + s + C::kNetChangeIndicator, '+');
  m.Raw8(r + s + C::kFiller, 0xEE);
  m.C32(r + s + C::kNetPriceChange, 11);
  m.C32(r + s + C::kLastTradeQuantity, d.lastTradeQuantity);
  m.C32(r + s + C::kLastTradeTime, d.lastTradeTime);
  m.C32(r + s + C::kAverageTradePrice, 12);
  m.C16(r + s + C::kAuctionNumber, 13);
  m.C16(r + s + C::kAuctionStatus, 14);
  m.C16(r + s + C::kInitiatorType, 15);
  m.C32(r + s + C::kInitiatorPrice, 16);
  m.C32(r + s + C::kInitiatorQuantity, 17);
  m.C32(r + s + C::kAuctionPrice, 18);
  m.C32(r + s + C::kAuctionQuantity, 19);
  for (int k = 0; k < C::kMbpInfoCount; ++k) {
    const int e = r + s + C::kMbpInfoAt + k * C::kMbpInfoSize;
    m.C32(e + mbpinfo::kQuantity, 100 * (k + 1));
    m.C32(e + mbpinfo::kPrice, d.ltp + (k < C::kMbpSellAt ? -k - 1 : k - 4));
    m.C16(e + mbpinfo::kNumberOfOrders, static_cast<std::int16_t>(k + 1));
    m.C16(e + mbpinfo::kBbBuySellFlag, static_cast<std::int16_t>(k < C::kMbpSellAt ? 1 : 2));
  }
  m.C16(r + s + C::kTotalBuyFlag, 1);
  m.C16(r + s + C::kTotalSellFlag, 2);
  m.CDouble(r + s + C::kTotalBuyQuantity, d.totalBuy);
  m.CDouble(r + s + C::kTotalSellQuantity, d.totalSell);
  m.Raw8(r + s + C::kDepthIndicator, 0x44);
  m.Raw8(r + s + C::kDepthIndicator + 1, 0x45);
  m.C32(r + s + C::kClosingPrice, 21);
  m.C32(r + s + C::kOpenPrice, 22);
  m.C32(r + s + C::kHighPrice, 23);
  m.C32(r + s + C::kLowPrice, 24);
}
inline MessageBuilder CmMarketByPriceMessage(const std::vector<Depth>& rows, int declared = -1) {
  namespace L = cm::mbp;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(declared >= 0 ? declared : static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    PutDepthRecord<false>(m, MessageBuilder::RecordAt(i, L::kRecordSize), rows[i]);
  }
  return m;
}
inline MessageBuilder FoMarketByPriceMessage(const std::vector<Depth>& rows, int declared = -1) {
  namespace L = fo::mbp;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(declared >= 0 ? declared : static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    PutDepthRecord<true>(m, MessageBuilder::RecordAt(i, L::kRecordSize), rows[i]);
  }
  return m;
}

// Industry index records: capital market (22-character names) or F&O (15).
struct IndexRow {
  std::string name;
  int value;
};
inline MessageBuilder CmIndustryIndexMessage(const std::vector<IndexRow>& rows) {
  namespace L = cm::industry;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const int r = MessageBuilder::RecordAt(i, L::kRecordSize);
    m.Text(r + L::kName, rows[i].name, L::kNameSize);
    m.C32(r + L::kIndexValue, rows[i].value);
  }
  return m;
}
inline MessageBuilder FoIndustryIndexMessage(const std::vector<IndexRow>& rows) {
  namespace L = fo::industry;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const int r = MessageBuilder::RecordAt(i, L::kRecordSize);
    m.Text(r + L::kName, rows[i].name, L::kNameSize);
    m.Raw8(r + L::kFiller, ' ');
    m.C32(r + L::kIndexValue, rows[i].value);
  }
  return m;
}

// 7207 indices, both segments.
inline MessageBuilder IndicesMessage(int records) {
  namespace L = cm::indices;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(records);
  for (int i = 0; i < records; ++i) {
    const int r = MessageBuilder::RecordAt(i, L::kRecordSize);
    m.Text(r + L::kName, "Nifty " + std::to_string(i), L::kNameSize);
    const int fields[] = {L::kIndexValue,  L::kHighIndexValue, L::kLowIndexValue, L::kOpeningIndex,
                          L::kClosingIndex, L::kPercentChange, L::kYearlyHigh,    L::kYearlyLow,
                          L::kNoOfUpMoves,  L::kNoOfDownMoves};
    for (int f = 0; f < 10; ++f) m.C32(r + fields[f], 100000 * (i + 1) + f);
    m.CDouble(r + L::kMarketCapitalisation, 1.5e12 + i);
    m.Raw8(r + L::kNetChangeIndicator, '-');
  }
  return m;
}

// Capital-market 7305.
inline MessageBuilder CmSecurityMessage(int token, const std::string& symbol, const std::string& series) {
  namespace L = cm::security;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.C16(L::kToken, static_cast<std::int16_t>(token));
  m.Text(L::kSymbol, symbol, L::kSymbolSize);
  m.Text(L::kSeries, series, L::kSeriesSize);
  return m;
}

// F&O and CD 7201.
struct FoWatch {
  int token;
  int ltp;
  int buyPrice = 0, sellPrice = 0, buyVolume = 0, sellVolume = 0;
  int openInterest = 0;
};
inline MessageBuilder FoMarketWatchMessage(const std::vector<FoWatch>& rows) {
  namespace L = fo::mw;
  namespace M = cm::mw;  // the market block
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const int r = MessageBuilder::RecordAt(i, L::kRecordSize);
    const FoWatch& w = rows[i];
    m.C32(r + L::kToken, w.token);
    for (int k = 0; k < L::kMarkets; ++k) {
      const int b = r + L::kMarketsAt + k * L::kMarketSize;
      m.Raw8(b + M::kIndicator, 0x11);
      m.C32(b + M::kBuyVolume, k == 0 ? w.buyVolume : 10 + k);
      m.C32(b + M::kBuyPrice, k == 0 ? w.buyPrice : 20 + k);
      m.C32(b + M::kSellVolume, k == 0 ? w.sellVolume : 30 + k);
      m.C32(b + M::kSellPrice, k == 0 ? w.sellPrice : 40 + k);
      m.C32(b + M::kLastTradedPrice, k == 0 ? w.ltp : 50 + k);
      m.C32(b + M::kLastTradeTime, 60 + k);
    }
    m.C32(r + L::kOpenInterest, w.openInterest);
  }
  return m;
}

// F&O and CD 7202.
struct FoTick {
  int token;
  int marketType;
  int fillPrice;
  int fillVolume = 0;
};
inline MessageBuilder FoTickerMessage(const std::vector<FoTick>& rows) {
  namespace L = fo::ticker;
  MessageBuilder m(L::kCode, L::kMessageLength);
  m.NoOfRecords(static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const int r = MessageBuilder::RecordAt(i, L::kRecordSize);
    m.C32(r + L::kToken, rows[i].token);
    m.C16(r + L::kMarketType, static_cast<std::int16_t>(rows[i].marketType));
    m.C32(r + L::kFillPrice, rows[i].fillPrice);
    m.C32(r + L::kFillVolume, rows[i].fillVolume);
    m.C32(r + L::kOpenInterest, 7);
    m.C32(r + L::kDayHighOpenInterest, 8);
    m.C32(r + L::kDayLowOpenInterest, 9);
  }
  return m;
}

// F&O and CD 7211.
inline MessageBuilder SpreadMessage(int token1, int token2) {
  namespace L = fo::spread;
  MessageBuilder m(L::kCode, L::kMessageLength);
  int v = 1;
  for (const Field& f : L::kConverted) {
    if (f.width == 2) m.C16(f.offset, static_cast<std::int16_t>(v++));
    if (f.width == 4) m.C32(f.offset, 1000 + v++);
    if (f.width == 8) m.CDouble(f.offset, 0.5 + v++);
  }
  m.C32(L::kToken1, token1);
  m.C32(L::kToken2, token2);
  return m;
}

// F&O and CD 7305.
inline MessageBuilder ContractMessage(int token, const std::string& symbol, int expiry, int strike,
                                      const std::string& optionType) {
  namespace L = fo::contract;
  MessageBuilder m(L::kCode, 300);
  m.C32(L::kToken, token);
  m.Text(L::kInstrumentName, "OPTIDX", 6);
  m.Text(L::kSymbol, symbol, L::kSymbolSize);
  m.Text(L::kSeries, "XX", 2);
  m.C32(L::kExpiryDate, expiry);
  m.C32(L::kStrikePrice, strike);
  m.Text(L::kOptionType, optionType, L::kOptionTypeSize);
  return m;
}

// CD 7213.
inline MessageBuilder Cd7213Message(int token, int value) {
  namespace L = cd::v7213;
  MessageBuilder m(L::kCode, L::kMessageLength);
  int v = 1;
  for (const Field& f : L::kConverted) m.C32(f.offset, 500 + v++);
  for (int at = L::kToken + 4; at < L::kMessageLength; ++at) {
    bool converted = false;
    for (const Field& f : L::kConverted) converted |= at >= f.offset && at < f.offset + f.width;
    if (!converted) m.Raw8(at, static_cast<std::uint8_t>(at));
  }
  m.C32(L::kToken, token);
  m.C32(L::kValue, value);
  return m;
}

// F&O 7732 and 7733.
template <const auto& kTable>
inline MessageBuilder ValueMessage(int code, int tokenAt, int valueAt, int token, int value) {
  MessageBuilder m(code, 200);
  int v = 1;
  for (const Field& f : kTable) {
    if (f.width == 2) m.C16(f.offset, static_cast<std::int16_t>(v++));
    if (f.width == 4) m.C32(f.offset, 700 + v++);
    if (f.width == 8) m.CDouble(f.offset, 0.25 + v++);
  }
  m.C32(tokenAt, token);
  m.C32(valueAt, value);
  return m;
}

}  // namespace fh::testing
