// The one way tests build NSE broadcast messages: MessageBuilder lays down a
// wire message (big-endian) field by field from the layout names, together
// with the image the decoder should leave after converting (converted fields
// in host order), and one builder per layout fills its records. MarkedBuffer
// hands the bytes to a decoder in an exact-size heap block with a marker byte
// behind it. Golden bytes do not come from here (they are typed from the
// tables in tests/golden/); these builders are for behaviour and traffic.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
  void C64(int at, std::int64_t v) { StoreBe64(wire_ + at, v); std::memcpy(host_ + at, &v, 8); }
  // Bytes the decoder leaves as they are.
  void Raw8(int at, std::uint8_t v) { wire_[at] = v; host_[at] = v; }
  void Text(int at, const std::string& text, int width) {
    for (int i = 0; i < width; ++i) Raw8(at + i, i < static_cast<int>(text.size()) ? text[i] : ' ');
  }

  void NoOfRecords(int n) { C16(records::kNoOfRecords, static_cast<std::int16_t>(n)); }
  static int RecordAt(int i, int recordSize) { return records::kRecordsAt + i * recordSize; }

  std::vector<std::uint8_t> Wire(int length) const { return std::vector<std::uint8_t>(wire_, wire_ + length); }
  // The plain packet the exchange would send: 8 leading bytes, the whole
  // BcastHeader with every field big-endian, the body; 8 + MessageLength
  // bytes (MessageLength counts the 2 header bytes before the message
  // address).
  std::vector<std::uint8_t> Plain() const {
    const int length = Load16(wire_ + header::kMessageLength);
    std::vector<std::uint8_t> p(static_cast<std::size_t>(packet::kHeaderAt + std::max(length, 2)), 0);
    std::uint8_t* m = p.data() + packet::kMessageAt;
    std::memcpy(m, wire_, static_cast<std::size_t>(std::min(std::max(length - 2, 0), kSize)));
    for (int at : {header::kTransactionCode, header::kErrorCode, header::kMessageLength}) ToHost16(m + at);
    ToHost32(m + header::kLogTime);
    return p;
  }
  const std::uint8_t* HostBytes() const { return host_; }

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

// Fills [base, base + size) for a layout: every converted field of kTable
// with its own value (big-endian on the wire, host order after) and every
// other byte past the header with a pattern the decoder must pass through.
// The builders below then set the fields a test reads.
template <const auto& kTable>
void Fill(MessageBuilder& m, int base, int size, int seed = 0) {
  for (int at = std::max(base, header::kBodyAt); at < base + size; ++at) {
    m.Raw8(at, static_cast<std::uint8_t>(0x40 + (seed + at) % 61));
  }
  int v = seed;
  for (const Field& f : kTable) {
    if (f.width == 2) m.C16(base + f.offset, static_cast<std::int16_t>(v++));
    if (f.width == 4) m.C32(base + f.offset, 1000 + v++);
    if (f.width == 8) m.CDouble(base + f.offset, 0.5 + v++);
  }
}

// A record-list message of code: NoOfRecords (declared, or the rows given)
// and one record per row, each filled by Fill and then by put.
template <const auto& kTable, class Row, class Put>
MessageBuilder RecordList(int code, int messageLength, int recordSize, const std::vector<Row>& rows, int declared,
                          Put put) {
  MessageBuilder m(code, messageLength);
  m.NoOfRecords(declared >= 0 ? declared : static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const int r = MessageBuilder::RecordAt(i, recordSize);
    Fill<kTable>(m, r, recordSize, 7 * i);
    put(m, r, rows[i]);
  }
  return m;
}

// 7201: market 0 of each record; markets 1 and 2 keep their filled values.
struct Watch {
  int token, ltp, buyPrice = 0, sellPrice = 0, buyVolume = 0, sellVolume = 0;
};
template <bool kWideToken>
MessageBuilder MarketWatchMessage(const std::vector<Watch>& rows, int declared = -1) {
  using namespace cm::mw;  // the market block
  const int length = kWideToken ? fo::mw::kMessageLength : kMessageLength;
  const int size = kWideToken ? fo::mw::kRecordSize : kRecordSize;
  auto put = [](MessageBuilder& m, int r, const Watch& w) {
    if (kWideToken) m.C32(r + fo::mw::kToken, w.token);
    if (!kWideToken) m.C16(r + kToken, static_cast<std::int16_t>(w.token));
    const int b = r + (kWideToken ? fo::mw::kMarketsAt : kMarketsAt);
    m.C32(b + kBuyVolume, w.buyVolume);
    m.C32(b + kBuyPrice, w.buyPrice);
    m.C32(b + kSellVolume, w.sellVolume);
    m.C32(b + kSellPrice, w.sellPrice);
    m.C32(b + kLastTradedPrice, w.ltp);
  };
  if constexpr (kWideToken) return RecordList<fo::mw::kConverted>(kCode, length, size, rows, declared, put);
  return RecordList<kConverted>(kCode, length, size, rows, declared, put);
}
inline MessageBuilder CmMarketWatchMessage(const std::vector<Watch>& rows) { return MarketWatchMessage<false>(rows); }
inline MessageBuilder FoMarketWatchMessage(const std::vector<Watch>& rows) { return MarketWatchMessage<true>(rows); }

// 7202.
struct Tick {
  int token, marketType, fillPrice, fillVolume = 0;
};
inline MessageBuilder CmTickerMessage(const std::vector<Tick>& rows, int declared = -1) {
  using namespace cm::ticker;
  return RecordList<kConverted>(kCode, kMessageLength, kRecordSize, rows, declared,
                                [](MessageBuilder& m, int r, const Tick& t) {
                                  m.C16(r + kToken, static_cast<std::int16_t>(t.token));
                                  m.C16(r + kMarketType, static_cast<std::int16_t>(t.marketType));
                                  m.C32(r + kFillPrice, t.fillPrice);
                                  m.C32(r + kFillVolume, t.fillVolume);
                                });
}
inline MessageBuilder FoTickerMessage(const std::vector<Tick>& rows) {
  using namespace fo::ticker;
  return RecordList<kConverted>(kCode, kMessageLength, kRecordSize, rows, -1,
                                [](MessageBuilder& m, int r, const Tick& t) {
                                  m.C32(r + kToken, t.token);
                                  m.C16(r + kMarketType, static_cast<std::int16_t>(t.marketType));
                                  m.C32(r + kFillPrice, t.fillPrice);
                                  m.C32(r + kFillVolume, t.fillVolume);
                                });
}

// 7208: depth entries 100, 200, ... at prices one step further from the last
// traded price each (best buy ltp - 1, best sell ltp + 1).
struct Depth {
  int token, ltp, tradingStatus = 2, bookType = 1, volume = 0, lastTradeQuantity = 0, lastTradeTime = 0;
  double totalBuy = 0, totalSell = 0;
};
template <bool kWideToken>
MessageBuilder MarketByPriceMessage(const std::vector<Depth>& rows) {
  using namespace cm::mbp;
  auto put = [](MessageBuilder& m, int r, const Depth& d) {
    if (kWideToken) m.C32(r + fo::mbp::kToken, d.token);
    if (!kWideToken) m.C16(r + kToken, static_cast<std::int16_t>(d.token));
    const int s = r + (kWideToken ? fo::mbp::kShift : 0);
    m.C16(s + kBookType, static_cast<std::int16_t>(d.bookType));
    m.C16(s + kTradingStatus, static_cast<std::int16_t>(d.tradingStatus));
    m.C32(s + kVolumeTradedToday, d.volume);
    m.C32(s + kLastTradedPrice, d.ltp);
    m.C32(s + kLastTradeQuantity, d.lastTradeQuantity);
    m.C32(s + kLastTradeTime, d.lastTradeTime);
    for (int k = 0; k < kMbpInfoCount; ++k) {
      m.C32(s + kMbpInfoAt + k * kMbpInfoSize + mbpinfo::kQuantity, 100 * (k + 1));
      m.C32(s + kMbpInfoAt + k * kMbpInfoSize + mbpinfo::kPrice, d.ltp + (k < kMbpSellAt ? -k - 1 : k - 4));
    }
    m.CDouble(s + kTotalBuyQuantity, d.totalBuy);
    m.CDouble(s + kTotalSellQuantity, d.totalSell);
  };
  if constexpr (kWideToken) {
    return RecordList<fo::mbp::kConverted>(kCode, fo::mbp::kMessageLength, fo::mbp::kRecordSize, rows, -1, put);
  }
  return RecordList<kConverted>(kCode, kMessageLength, kRecordSize, rows, -1, put);
}
inline MessageBuilder CmMarketByPriceMessage(const std::vector<Depth>& rows) { return MarketByPriceMessage<false>(rows); }
inline MessageBuilder FoMarketByPriceMessage(const std::vector<Depth>& rows) { return MarketByPriceMessage<true>(rows); }

// 7203: named index values (capital market: 22-character names, F&O: 15).
struct IndexRow {
  std::string name;
  int value;
};
template <class L>
MessageBuilder IndustryIndexMessage(const std::vector<IndexRow>& rows) {
  return RecordList<L::kConverted>(L::kCode, L::kMessageLength, L::kRecordSize, rows, -1,
                                   [](MessageBuilder& m, int r, const IndexRow& row) {
                                     m.Text(r + L::kName, row.name, L::kNameSize);
                                     m.C32(r + L::kIndexValue, row.value);
                                   });
}
struct CmIndustry {
  static constexpr const auto& kConverted = cm::industry::kConverted;
  static constexpr int kCode = cm::industry::kCode, kMessageLength = cm::industry::kMessageLength,
                       kRecordSize = cm::industry::kRecordSize, kName = cm::industry::kName,
                       kNameSize = cm::industry::kNameSize, kIndexValue = cm::industry::kIndexValue;
};
struct FoIndustry {
  static constexpr const auto& kConverted = fo::industry::kConverted;
  static constexpr int kCode = fo::industry::kCode, kMessageLength = fo::industry::kMessageLength,
                       kRecordSize = fo::industry::kRecordSize, kName = fo::industry::kName,
                       kNameSize = fo::industry::kNameSize, kIndexValue = fo::industry::kIndexValue;
};
inline MessageBuilder CmIndustryIndexMessage(const std::vector<IndexRow>& rows) {
  return IndustryIndexMessage<CmIndustry>(rows);
}
inline MessageBuilder FoIndustryIndexMessage(const std::vector<IndexRow>& rows) {
  return IndustryIndexMessage<FoIndustry>(rows);
}

// 7207, both segments: records filled whole.
inline MessageBuilder IndicesMessage(int records) {
  using namespace cm::indices;
  return RecordList<kConverted>(kCode, kMessageLength, kRecordSize, std::vector<int>(records), -1,
                                [](MessageBuilder&, int, int) {});
}

// Capital-market 7305.
inline MessageBuilder CmSecurityMessage(int token, const std::string& symbol, const std::string& series) {
  using namespace cm::security;
  MessageBuilder m(kCode, kMessageLength);
  m.C16(kToken, static_cast<std::int16_t>(token));
  m.Text(kSymbol, symbol, kSymbolSize);
  m.Text(kSeries, series, kSeriesSize);
  return m;
}

// Derivatives 7305.
inline MessageBuilder ContractMessage(int token, const std::string& symbol, int expiry, int strike,
                                      const std::string& optionType) {
  using namespace fo::contract;
  MessageBuilder m(kCode, 300);
  m.C32(kToken, token);
  m.Text(kInstrumentName, "OPTIDX", 6);
  m.Text(kSymbol, symbol, kSymbolSize);
  m.Text(kSeries, "XX", 2);
  m.C32(kExpiryDate, expiry);
  m.C32(kStrikePrice, strike);
  m.Text(kOptionType, optionType, kOptionTypeSize);
  return m;
}

// A fixed layout filled whole (7211 spread, 7213, 7732, 7733), with the
// 4-byte fields at tokenAt and valueAt set.
template <const auto& kTable>
MessageBuilder FixedMessage(int code, int length, int tokenAt, int token, int valueAt, int value) {
  MessageBuilder m(code, length);
  Fill<kTable>(m, 0, length);
  m.C32(tokenAt, token);
  m.C32(valueAt, value);
  return m;
}
inline MessageBuilder SpreadMessage(int token1, int token2) {
  using namespace fo::spread;
  return FixedMessage<kConverted>(kCode, kMessageLength, kToken1, token1, kToken2, token2);
}
inline MessageBuilder Cd7213Message(int token, int value) {
  using namespace cd::v7213;
  return FixedMessage<kConverted>(kCode, kMessageLength, kToken, token, kValue, value);
}
template <const auto& kTable>
MessageBuilder ValueMessage(int code, int tokenAt, int valueAt, int token, int value) {
  return FixedMessage<kTable>(code, 200, tokenAt, token, valueAt, value);
}

}  // namespace fh::testing
