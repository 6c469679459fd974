// Pieces the three NSE decoders share: the two BCAST DELTA lines, the
// forwarded-packet staging, the list of codes already reported as unhandled,
// record-list conversion and the change-item formats.
//
// Thread safety: every object here belongs to one decoder and is used by the
// one thread that runs that decoder, except IndustryIndexCounters, whose
// counts are atomics that the dialog may read from any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "distribution/bridge_output.h"
#include "distribution/forwarded_packet.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"

namespace fh {
class CounterGrid;
}

namespace fh::nse {

// Message counters read by the dialog while a decoder writes them.
using Counter = std::atomic<std::uint32_t>;

inline std::uint32_t Bump(Counter& c) { return c.fetch_add(1, std::memory_order_relaxed) + 1; }
inline std::uint32_t Read(const Counter& c) { return c.load(std::memory_order_relaxed); }

// Messages of code 7203, counted by the capital-market and the F&O decoders
// each in its own count; both decoders hold a reference to this one object,
// which the counters refresh of the dialog reads as well. Row 7203 of the grid
// shows the capital-market count in the capital-market column and the F&O
// count in the F&O column.
struct IndustryIndexCounters {
  Counter cm{0};
  Counter fo{0};
};

// The all-delta and the subscribed-delta line of one message.
//
// A line holds at most kLineLimit characters; an item that would take it
// beyond that first sends the line as it stands (when BCAST DELTA is on) and
// starts a new one. The buffers have room past the limit for the segment
// prefix SendDeltaSubscribed puts in front and for the terminator.
class DeltaLines {
 public:
  static constexpr int kLineLimit = 512;
  static constexpr int kCapacity = kLineLimit + 16;

  // allDelta: whether this segment's all-delta line leaves the system at all
  // (the all-delta broadcast carries segments 1 and 2 only).
  DeltaLines(BridgeOutput& out, const std::atomic<int>& bcastDelta, int segment, bool allDelta)
      : out_(out), bcastDelta_(bcastDelta), segment_(segment), allDelta_(allDelta) {}

  void Clear() {
    allLength_ = 0;
    subLength_ = 0;
    all_[0] = '\0';
    sub_[0] = '\0';
  }

  // Appends item to the all-delta line and, when subscribed, to the
  // subscribed-delta line.
  void AppendChange(const char* item, int length, bool subscribed) {
    if (allDelta_) AppendAll(item, length);
    if (subscribed) AppendSubscribed(item, length);
  }
  void AppendSubscribed(const char* item, int length);

  // Sends both lines, all-delta first, when BCAST DELTA is on; empty lines
  // are not sent. Afterwards both lines are empty.
  void Send();

  const char* AllLine() const { return all_; }
  const char* SubscribedLine() const { return sub_; }

 private:
  void AppendAll(const char* item, int length);
  void SendAll();
  void SendSubscribed();

  BridgeOutput& out_;
  const std::atomic<int>& bcastDelta_;
  const int segment_;
  const bool allDelta_;
  int allLength_ = 0;
  int subLength_ = 0;
  char all_[kCapacity] = {};
  char sub_[kCapacity] = {};
};

// Formats the change item ",%d|%ld" into out (at least kChangeItemSize
// bytes); returns its length.
inline constexpr int kChangeItemSize = 32;
int FormatChangeItem(char* out, std::int32_t token, std::int32_t value);

// The segment's ForwardedPacket, built in a 1024-byte buffer.
class PacketStage {
 public:
  PacketStage(int segmentCode, int divisor) : segmentCode_(segmentCode), divisor_(divisor) {}

  void Clear() { length_ = 0; }

  // Lays down the header from the message head (header::kBodyAt bytes, host
  // order where the framing converted) and the body from work bytes 38 on:
  // packetLength - 46 bytes, of which the ones at or past workLength (bytes
  // that never arrived) are zero.
  void Build(const std::uint8_t* head, const std::uint8_t* work, int workLength, int packetLength);

  int Length() const { return length_; }
  const std::uint8_t* Bytes() const { return bytes_; }

 private:
  const int segmentCode_;
  const int divisor_;
  int length_ = 0;
  std::uint8_t bytes_[forwarded::kBufferSize] = {};
};

// Decimal texts of the codes already reported as unhandled, each followed by
// ",", in a 1024-byte list that starts with the segment's name and a comma.
// A code counts as reported when its text occurs anywhere in the list. When a
// new code no longer fits, the list stays as it is and the code goes
// unreported.
class ReportedCodes {
 public:
  static constexpr int kSize = 1024;

  explicit ReportedCodes(const char* initial);

  // True when code was not yet in the list and has now been added.
  bool Add(int code);
  const char* Text() const { return text_; }

 private:
  int length_ = 0;
  char text_[kSize] = {};
};

// Converts NoOfRecords and every record that lies within the first length
// bytes of message; returns the number of records to visit: NoOfRecords,
// clamped to 0 .. the layout's capacity and to the records that fit. When
// fewer records are visited than NoOfRecords claimed, the field is rewritten
// with that number, so a forwarded packet never announces records it does
// not carry. A message too short for the count has no records.
template <const auto& kTable, int kRecordSize, int kCapacity>
int ConvertRecordList(std::uint8_t* message, int length) {
  if (length < records::kRecordsAt) return 0;
  ToHost16(message + records::kNoOfRecords);
  const int declared = Load16(message + records::kNoOfRecords);
  const int fit = std::min((length - records::kRecordsAt) / kRecordSize, kCapacity);
  const int count = std::clamp(declared, 0, fit);
  if (declared > count) Store16(message + records::kNoOfRecords, static_cast<std::int16_t>(count));
  std::uint8_t* record = message + records::kRecordsAt;
  for (int i = 0; i < count; ++i, record += kRecordSize) ConvertFields<kTable>(record);
  return count;
}

// The watched-instrument view: fixed cells of the counters grid (rows 4 to 8,
// columns 1 and 2) that show the values of one instrument as they arrive.
namespace view {
inline constexpr int kPrices = 4;
inline constexpr int kQuantities = 5;
inline constexpr int kLast = 6;
inline constexpr int kVolume = 7;
inline constexpr int kTotals = 8;
inline constexpr int kCol1 = 1;
inline constexpr int kCol2 = 2;
}  // namespace view

// Writes a number into the grid cell (row, col) of the watched-instrument view.
void SetViewNumber(CounterGrid& grid, int row, int col, long long value);
// Writes a double with "%.0f" into the cell (row, col).
void SetViewDouble(CounterGrid& grid, int row, int col, double value);

// Record offsets of the fields the view shows, taken from each segment's layout.
struct MarketWatchFields {
  int buyPrice, sellPrice, buyVolume, sellVolume, lastTradedPrice;  // of market 0
};
struct TickerFields {
  int fillPrice, fillVolume;
};
struct MarketByPriceFields {
  int mbpInfoAt, sellAt, infoSize, lastTradedPrice, lastTradeQuantity, volumeTradedToday, lastTradeTime;
};

// Shows one converted record in the view.
void ShowMarketWatch(CounterGrid& grid, const std::uint8_t* record, const MarketWatchFields& f);
void ShowTicker(CounterGrid& grid, const std::uint8_t* record, const TickerFields& f);
void ShowMarketByPrice(CounterGrid& grid, const std::uint8_t* record, const MarketByPriceFields& f);

// The message head every decoder reads the header from: the first
// header::kBodyAt bytes of the message, zero where length ends earlier.
struct MessageHead {
  std::uint8_t bytes[header::kBodyAt];

  void Take(const std::uint8_t* message, int length) {
    const int n = std::clamp(length, 0, header::kBodyAt);
    if (n > 0) std::memcpy(bytes, message, static_cast<std::size_t>(n));
    if (n < header::kBodyAt) std::memset(bytes + n, 0, static_cast<std::size_t>(header::kBodyAt - n));
  }
  int TransactionCode() const { return Load16(bytes + header::kTransactionCode); }
  int ErrorCode() const { return Load16(bytes + header::kErrorCode); }
  int MessageLength() const { return Load16(bytes + header::kMessageLength); }
};

}  // namespace fh::nse
