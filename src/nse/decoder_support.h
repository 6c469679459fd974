// What the three NSE decoders share: the per-message output (two BCAST DELTA
// lines and the forwarded-packet staging), record-list conversion, the one
// record-list handler every segment runs for market watch, ticker, market by
// price, industry index and indices (fed with a constexpr description of each
// layout), and the routing table that maps a transaction code to its counter,
// grid row and handler.
//
// Thread safety: a decoder is used by the one thread that runs it, except
// its counters (and IndustryIndexCounters), atomics that the dialog may read
// from any thread. A segment's decoder never runs on two threads at once (the
// framing's lane lock), which is what lets it count the feed's per-code
// figures with serialised adds.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <span>
#include <utility>

#include "distribution/bridge_output.h"
#include "distribution/delta_line.h"
#include "distribution/forwarded_packet.h"
#include "distribution/reported_codes.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"

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

// The all-delta and the subscribed-delta line of one message. A change goes
// into the all-delta line (when the segment has one: the all-delta broadcast
// carries segments 1 and 2 only) and, when subscribed, into the
// subscribed-delta line as well.
class DeltaLines {
 public:
  DeltaLines(BridgeOutput& out, const std::atomic<int>& bcastDelta, int segment, bool allDelta)
      : allDelta_(allDelta),
        all_(out, bcastDelta, segment, DeltaLine::Port::kAll),
        sub_(out, bcastDelta, segment, DeltaLine::Port::kSubscribed) {}

  void Clear() {
    all_.Clear();
    sub_.Clear();
  }
  void AppendChange(const char* item, int length, bool subscribed) {
    if (allDelta_) all_.Append(item, length);
    if (subscribed) sub_.Append(item, length);
  }
  void AppendSubscribed(const char* item, int length) { sub_.Append(item, length); }
  // Sends both lines, all-delta first (each only when not empty and BCAST
  // DELTA is on); afterwards both are empty.
  void Send() {
    all_.Send();
    sub_.Send();
  }

 private:
  const bool allDelta_;
  DeltaLine all_;
  DeltaLine sub_;
};

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

// One cell of the watched-instrument view (counters grid rows 4 to 8,
// columns 1 and 2): the record field shown there, a 4-byte or an 8-byte
// integer in decimal, or a double shown with "%.0f".
struct ViewCell {
  enum Kind { kInt32, kInt64, kDouble };
  int row, col, at;
  Kind kind = kInt32;
};

// A record-list layout as its handler sees it.
struct RecordList {
  // packetLength 0: the form is one of today's, forwarded as long as the
  // header says (46 + MessageLength - 40 bytes); a classic form always
  // forwards packetLength bytes.
  int recordSize, capacity, messageLength, packetLength;
  std::span<const Field> converted;  // per record
  // What a record reports: none when tokenWidth is 0. Otherwise the token
  // (2 or 4 bytes) and the 4-byte value at valueAt, when the 2-byte fields at
  // testAt hold testEquals (a testAt of -1 tests nothing).
  int tokenWidth = 0, valueAt = 0;
  std::array<int, 2> testAt{-1, -1}, testEquals{0, 0};
  std::span<const ViewCell> view{};
  // The header MessageLengths that announce this form, where a code has more
  // than one form or the form is one of today's (full 0: not checked).
  FormLengths form{0};
};

// Converts NoOfRecords and every record that lies within the first length
// bytes of message; returns the number of records to visit: NoOfRecords,
// clamped to 0 .. the layout's capacity and to the records that fit. When
// fewer records are visited than NoOfRecords claimed, the field is rewritten
// with that number, so a forwarded packet never announces records it does
// not carry. A message too short for the count has no records.
// Converts one record's fields of L, each by its width. The table is known at
// compile time, so the fields are converted in straight-line code: no loop,
// no test of a width.
template <int kWidth>
inline void ConvertWidth(std::uint8_t* p) {
  static_assert(kWidth == 2 || kWidth == 4 || kWidth == 8);
  if constexpr (kWidth == 2) {
    ToHost16(p);
  } else if constexpr (kWidth == 4) {
    ToHost32(p);
  } else {
    ToHost64(p);
  }
}
template <const RecordList& L, std::size_t... I>
inline void ConvertRecord(std::uint8_t* record, std::index_sequence<I...> /*fields*/) {
  (ConvertWidth<L.converted[I].width>(record + L.converted[I].offset), ...);
}

template <const RecordList& L>
int ConvertRecordList(std::uint8_t* message, int length) {
  if (length < records::kRecordsAt) return 0;
  ToHost16(message + records::kNoOfRecords);
  const int declared = Load16(message + records::kNoOfRecords);
  const int fit = std::min((length - records::kRecordsAt) / L.recordSize, L.capacity);
  const int count = std::clamp(declared, 0, fit);
  if (declared > count) Store16(message + records::kNoOfRecords, static_cast<std::int16_t>(count));
  std::uint8_t* record = message + records::kRecordsAt;
  for (int i = 0; i < count; ++i, record += L.recordSize) {
    ConvertRecord<L>(record, std::make_index_sequence<L.converted.size()>{});
  }
  return count;
}

// A transaction code's place in a segment's routing table: the counter it
// advances (named by the code of that count, the group's for codes that share
// one; 0: not counted), the grid row that shows the count (kNoRow: none) and
// the handler that runs after counting (null: none). D is the decoder.
//
// A code whose layout is chosen by the header's MessageLength names its
// form(s): handle runs for the lengths form announces, and, for a code with a
// second form, today for the lengths todaysForm announces; any other length
// is an unknown form. A code without a form is handled at any length.
inline constexpr int kNoRow = -1;
template <class D>
struct Route {
  using Handler = void (D::*)(std::uint8_t* work, int length);
  int code;
  int counter = 0;
  int row = kNoRow;
  Handler handle = nullptr;
  FormLengths form{};
  Handler today = nullptr;
  FormLengths todaysForm{};
};

// Whether no MessageLength and record count announce both forms.
constexpr bool Disjoint(const FormLengths& a, const FormLengths& b) {
  for (int length = 0; length <= forwarded::kBufferSize; ++length) {
    for (int count = 0; count <= 64; ++count) {
      if (a.Announces(length, count) && b.Announces(length, count)) return false;
    }
  }
  return true;
}

// A segment's routing table with a direct index by code. Counters are
// numbered (slots) in the order their codes first appear in the table. Built
// at compile time: a code outside kFirstCode..kLastCode, a code routed twice,
// or two forms of a code that share a length do not compile.
template <class D, std::size_t N>
class Routes {
 public:
  static constexpr int kFirstCode = 1800;
  static constexpr int kLastCode = 18800;

  struct Entry {
    Route<D> route;
    int slot;  // -1: not counted
  };

  consteval explicit Routes(const std::array<Route<D>, N>& routes) {
    for (std::size_t i = 0; i < N; ++i) {
      const Route<D>& r = routes[i];
      if (r.code < kFirstCode || r.code > kLastCode) throw "a routed code outside the index";
      // Forms are held by value, and whether today is set is not checked
      // here: g++ with the sanitizers cannot compare a pointer with null in a
      // constant expression. Dispatch takes a second form without a handler
      // for an unknown form.
      if (!r.todaysForm.None() && r.form.None()) throw "a second form needs a first form";
      if (!r.todaysForm.None() && !Disjoint(r.form, r.todaysForm)) throw "two forms of one code share a length";
      int slot = -1;
      for (std::size_t j = 0; j < i && r.counter != 0; ++j) {
        if (routes[j].counter == r.counter) slot = entries_[j].slot;
      }
      if (r.counter != 0 && slot < 0) slot = slots_++;
      entries_[i] = Entry{r, slot};
      std::uint8_t& index = index_[static_cast<std::size_t>(r.code - kFirstCode)];
      if (index != 0) throw "a code routed twice";
      index = static_cast<std::uint8_t>(i + 1);
    }
  }

  // The entry of code, or null for a code outside the table.
  constexpr const Entry* Find(int code) const {
    if (code < kFirstCode || code > kLastCode) return nullptr;
    const int i = index_[static_cast<std::size_t>(code - kFirstCode)];
    return i == 0 ? nullptr : &entries_[static_cast<std::size_t>(i - 1)];
  }
  // The number of counters the table uses.
  constexpr int Slots() const { return slots_; }

 private:
  static_assert(N < 255, "the index holds entry numbers in one byte");
  std::array<Entry, N> entries_{};
  std::array<std::uint8_t, kLastCode - kFirstCode + 1> index_{};
  int slots_ = 0;
};

// State and steps every NSE decoder shares: per-call output, counting, the
// change report, packet building and the handlers that are alike in every
// segment.
class DecoderCore {
 public:
  // Hands over what the output holds back (the end of a receiver's batch).
  void FlushOutput() { out_.Flush(); }

  DecoderCore(const DecoderCore&) = delete;
  DecoderCore& operator=(const DecoderCore&) = delete;

  // Messages handed to the decoder, whatever their code.
  std::uint32_t MessageTotal() const { return Read(total_); }

  // The counters a segment's routing table may number.
  static constexpr int kMaxSlots = 24;

 protected:
  struct Setup {
    const char* name;  // "CM", "FO", "CD" in log lines
    int segment, segmentCode, divisor;
    bool allDelta;
    int column;              // of the counters grid
    int watchedToken;        // shown in the watched-instrument view
    int cacheSlotsLog2;      // of the decoder's RecordCache
    Counter* industryIndex;  // the shared 7203 count, or null
  };
  DecoderCore(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out, const Setup& setup);
  ~DecoderCore() = default;

  // The start of every call: empty lines, no packet, the head taken from work,
  // the message counted by its code in the feed's figures, its datagram's
  // receive time kept for the packet.
  void Start(const std::uint8_t* work, int length, std::int64_t receivedAtNs);
  // The output step: the packet (when one was built), then the delta lines.
  void Finish();

  // Counts the message of a routed code and runs the handler of the form its
  // MessageLength announces (an unknown form runs none); false for a code
  // outside the table, which the feed's figures count as unhandled.
  template <class D, std::size_t N>
  bool Dispatch(const Routes<D, N>& routes, int code, std::uint8_t* work, int length) {
    const auto* entry = routes.Find(code);
    if (entry == nullptr) {
      context_.metrics.Of(setup_.segment).unhandled.Add();
      return false;
    }
    const Route<D>& route = entry->route;
    if (entry->slot >= 0) CountAndShow(CounterOf(*entry), route.row);
    typename Route<D>::Handler handle = route.handle;
    if (!route.form.None() && !Announces(route.form, work, length)) {
      handle = !route.todaysForm.None() && Announces(route.todaysForm, work, length) ? route.today : nullptr;
      if (handle == nullptr) {
        UnknownForm();
        return true;
      }
    }
    if (handle != nullptr) (static_cast<D*>(this)->*handle)(work, length);
    return true;
  }
  template <class D, std::size_t N>
  std::uint32_t CountOf(const Routes<D, N>& routes, int code) const {
    const auto* entry = routes.Find(code);
    return entry == nullptr || entry->slot < 0 ? 0 : Read(const_cast<DecoderCore*>(this)->CounterOf(*entry));
  }

  // Increments counter; when the counters are on, shows the new count in the
  // decoder's column of the grid row labelled rowCode (none for kNoRow, and
  // none for a code the grid has no row for).
  void CountAndShow(Counter& counter, int rowCode);
  void ReportChange(std::int32_t token, std::int32_t value);
  // Only in CTCL mode while a Bridge is connected.
  void BuildPacket(const std::uint8_t* work, int workLength, int packetLength);
  bool Counters() const { return context_.options.pktCounters.load(std::memory_order_relaxed) == 1; }
  bool Delta() const { return context_.options.bcastDelta.load(std::memory_order_relaxed) != 0; }

  // Converts the record list in work (length bytes) in place, reports and
  // shows its records as L says, and builds the packet from work.
  template <const RecordList& L>
  void HandleRecordList(std::uint8_t* work, int length) {
    const int records = ConvertRecordList<L>(work, length);
    const bool counters = Counters();
    const bool delta = Delta();
    if (L.tokenWidth != 0 && (counters || delta)) {
      const std::uint8_t* r = work + records::kRecordsAt;
      for (int i = 0; i < records; ++i, r += L.recordSize) {
        const std::int32_t token = L.tokenWidth == 2 ? Load16(r) : Load32(r);
        if (counters && token == setup_.watchedToken) Show(r, L.view);
        if (delta && Passes<L>(r)) ReportChange(token, Load32(r + L.valueAt));
      }
    }
    BuildPacket(work, length, L.packetLength == 0 ? PacketLengthOfMessageLength(head_.MessageLength()) : L.packetLength);
  }
  // The same on a private copy of the first L.messageLength bytes, so the
  // caller's buffer stays as it was.
  template <const RecordList& L>
  void HandleCopiedRecordList(std::uint8_t* work, int length) {
    static_assert(L.messageLength <= static_cast<int>(sizeof copy_));
    const int n = std::min(length, L.messageLength);
    std::memcpy(copy_, work, static_cast<std::size_t>(n));
    HandleRecordList<L>(copy_, n);
  }
  // A message of a known code whose MessageLength matches none of the code's
  // forms: nothing of it is decoded, forwarded or reported. The feed's
  // figures count it by code; the log says so once per code, with the length.
  void UnknownForm();

  // The new-instrument item of a 7305 message for key (segment, token): made
  // by format (token, token and the rest of args) and put into the
  // subscribed-delta line, once per instrument the map did not hold yet.
  template <class... Args>
  void AnnounceInstrument(std::int32_t token, const char* format, Args... args);

  // "FH : FO : <what> TrxCode EXG : Trx=%d Err=%d MsgLen=%d\n" into the log
  // list and the segment's BPACK counter file, in the order given.
  enum class Order { kLogFirst, kFileFirst };
  void ReportCode(const char* what, int code, Order order);

  FeedContext& context_;
  InstrumentMap& instruments_;
  BridgeOutput& out_;
  const Setup setup_;
  Counter total_{0};
  MessageHead head_{};
  std::int64_t receivedAtNs_ = 0;  // of the message being decoded
  // The largest private copy: the 1024-byte message copy of the derivative
  // decoders, or a copied capital-market record list.
  std::uint8_t copy_[forwarded::kBufferSize] = {};

 private:
  Counter& CounterOf(const auto& entry) {
    if (entry.route.counter == code::kIndustryIndex && setup_.industryIndex != nullptr) {
      return *setup_.industryIndex;
    }
    return counts_[entry.slot];
  }
  template <const RecordList& L>
  static bool Passes(const std::uint8_t* r) {
    return (L.testAt[0] < 0 || Load16(r + L.testAt[0]) == L.testEquals[0]) &&
           (L.testAt[1] < 0 || Load16(r + L.testAt[1]) == L.testEquals[1]);
  }
  void Show(const std::uint8_t* record, std::span<const ViewCell> view);
  // Whether the header's MessageLength announces form, with the record count
  // as the message carries it: NoOfRecords (still big-endian) or the
  // header's ErrorCode (already host order); 0 when the field did not arrive.
  bool Announces(const FormLengths& form, const std::uint8_t* work, int length) const {
    const int count = form.countAt == header::kErrorCode ? head_.ErrorCode()
                      : length >= form.countAt + 2      ? LoadBe16(work + form.countAt)
                                                        : 0;
    return form.Announces(head_.MessageLength(), count);
  }

  Counter counts_[kMaxSlots] = {};
  // Codes whose unknown form was logged already (0: a free place).
  std::array<int, 16> unknownFormsLogged_{};
  RecordCache records_;
  DeltaLines lines_;
  PacketStage packet_;
};

template <class... Args>
void DecoderCore::AnnounceInstrument(std::int32_t token, const char* format, Args... args) {
  char key[InstrumentMap::kKeySize];
  const std::size_t keyLength = InstrumentMap::FormatKey(key, setup_.segment, token);
  bool created = false;
  instruments_.FindOrCreate(std::string_view(key, keyLength), token, std::string_view(""), &created);
  if (!created) return;
  char item[100];
  const int n = std::snprintf(item, sizeof item, format, token, token, args...);
  if (n > 0) lines_.AppendSubscribed(item, std::min<int>(n, sizeof item - 1));
}

// ---------------------------------------------------------------------------
// The record-list layouts, from the offsets of layouts.h. The view shows the
// watched instrument's market-0 prices and volumes (7201), its fills (7202)
// and its best depth, last trade and volume (7208; in the capital market the
// total quantities too). Today's forms show the same fields, 8 bytes wide
// where the field now is.

namespace lists {

using K = ViewCell::Kind;

// A list with its form check, taken from its own sizes: a classic form of a
// code that has two forms is announced by its whole length in either measure,
// or trimmed to its records; today's forms (packetLength 0) by the exchange's
// whole length, or trimmed to their records.
constexpr RecordList Checked(RecordList l) {
  l.form = FormLengths{.full = WireLength(l.messageLength), .recordSize = l.recordSize, .capacity = l.capacity,
                       .olderMeasure = l.packetLength != 0};
  return l;
}

inline constexpr ViewCell kCmMwView[] = {{4, 1, cm::mw::kBuyPrice0}, {4, 2, cm::mw::kSellPrice0},
    {5, 1, cm::mw::kBuyVolume0}, {5, 2, cm::mw::kSellVolume0}, {6, 1, cm::mw::kLastTradedPrice0}};
inline constexpr ViewCell kFoMwView[] = {{4, 1, fo::mw::kBuyPrice0}, {4, 2, fo::mw::kSellPrice0},
    {5, 1, fo::mw::kBuyVolume0}, {5, 2, fo::mw::kSellVolume0}, {6, 1, fo::mw::kLastTradedPrice0}};
// CM 7201 and F&O 7201 of today share the record head, 8-byte volumes.
inline constexpr ViewCell kWideMwView[] = {{4, 1, cm::mwWide::kBuyPrice0}, {4, 2, cm::mwWide::kSellPrice0},
    {5, 1, cm::mwWide::kBuyVolume0, K::kInt64}, {5, 2, cm::mwWide::kSellVolume0, K::kInt64},
    {6, 1, cm::mwWide::kLastTradedPrice0}};
inline constexpr ViewCell kCmTickerView[] = {{6, 1, cm::ticker::kFillPrice}, {6, 2, cm::ticker::kFillVolume}};
inline constexpr ViewCell kFoTickerView[] = {{6, 1, fo::ticker::kFillPrice}, {6, 2, fo::ticker::kFillVolume}};
inline constexpr ViewCell kCmTicker18703View[] = {{6, 1, cm::ticker18703::kFillPrice},
                                                  {6, 2, cm::ticker18703::kFillVolume}};
inline constexpr ViewCell kFoTicker17202View[] = {{6, 1, fo::ticker17202::kFillPrice},
                                                  {6, 2, fo::ticker17202::kFillVolume}};

// The first kCells of a view's cells.
template <int kCells, std::size_t N>
constexpr std::array<ViewCell, kCells> FirstCells(const std::array<ViewCell, N>& v) {
  static_assert(kCells <= static_cast<int>(N));
  std::array<ViewCell, kCells> out{};
  for (int i = 0; i < kCells; ++i) out[i] = v[i];
  return out;
}

// Best buy and best sell depth entries, last trade, volume; the capital
// market adds the total quantities.
template <int kShift, int kCells>
constexpr std::array<ViewCell, kCells> MarketByPriceView() {
  constexpr int best = kShift + cm::mbp::kMbpInfoAt, sell = best + cm::mbp::kMbpSellAt * cm::mbp::kMbpInfoSize;
  std::array<ViewCell, 10> v{{{4, 1, best + mbpinfo::kPrice}, {4, 2, sell + mbpinfo::kPrice},
      {5, 1, best + mbpinfo::kQuantity}, {5, 2, sell + mbpinfo::kQuantity},
      {6, 1, kShift + cm::mbp::kLastTradedPrice}, {6, 2, kShift + cm::mbp::kLastTradeQuantity},
      {7, 1, kShift + cm::mbp::kVolumeTradedToday}, {7, 2, kShift + cm::mbp::kLastTradeTime},
      {8, 1, cm::mbp::kTotalBuyQuantity, K::kDouble}, {8, 2, cm::mbp::kTotalSellQuantity, K::kDouble}}};
  return FirstCells<kCells>(v);
}
inline constexpr auto kCmMbpView = MarketByPriceView<0, 10>();
inline constexpr auto kFoMbpView = MarketByPriceView<fo::mbp::kShift, 8>();
// Today's record: 8-byte quantities and volume; the capital market's total
// quantities are 8-byte integers now, not doubles.
template <int kCells>
constexpr std::array<ViewCell, kCells> WideMarketByPriceView() {
  namespace W = wideMbp;
  constexpr int best = W::kMbpInfoAt, sell = best + W::kMbpSellAt * W::kMbpInfoSize;
  std::array<ViewCell, 10> v{{{4, 1, best + wideMbpInfo::kPrice}, {4, 2, sell + wideMbpInfo::kPrice},
      {5, 1, best + wideMbpInfo::kQuantity, K::kInt64}, {5, 2, sell + wideMbpInfo::kQuantity, K::kInt64},
      {6, 1, W::kLastTradedPrice}, {6, 2, W::kLastTradeQuantity},
      {7, 1, W::kVolumeTradedToday, K::kInt64}, {7, 2, W::kLastTradeTime},
      {8, 1, W::kTotalBuyQuantity, K::kInt64}, {8, 2, W::kTotalSellQuantity, K::kInt64}}};
  return FirstCells<kCells>(v);
}
inline constexpr auto kCmMbpWideView = WideMarketByPriceView<10>();
inline constexpr auto kFo17208View = WideMarketByPriceView<8>();

// 7201: every record reports market 0's last traded price.
inline constexpr RecordList kCmMw = Checked({.recordSize = cm::mw::kRecordSize, .capacity = cm::mw::kCapacity,
    .messageLength = cm::mw::kMessageLength, .packetLength = cm::mw::kPacketLength, .converted = cm::mw::kConverted,
    .tokenWidth = 2, .valueAt = cm::mw::kLastTradedPrice0, .view = kCmMwView});
inline constexpr RecordList kCmMwWide = Checked({.recordSize = cm::mwWide::kRecordSize,
    .capacity = cm::mwWide::kCapacity, .messageLength = cm::mwWide::kMessageLength, .packetLength = 0,
    .converted = cm::mwWide::kConverted,
    .tokenWidth = 4, .valueAt = cm::mwWide::kLastTradedPrice0, .view = kWideMwView});
inline constexpr RecordList kFoMw = Checked({.recordSize = fo::mw::kRecordSize, .capacity = fo::mw::kCapacity,
    .messageLength = fo::mw::kMessageLength, .packetLength = fo::mw::kPacketLength, .converted = fo::mw::kConverted,
    .tokenWidth = 4, .valueAt = fo::mw::kLastTradedPrice0, .view = kFoMwView});
inline constexpr RecordList kFoMw17201 = Checked({.recordSize = fo::mw17201::kRecordSize,
    .capacity = fo::mw17201::kCapacity, .messageLength = fo::mw17201::kMessageLength, .packetLength = 0,
    .converted = fo::mw17201::kConverted,
    .tokenWidth = 4, .valueAt = fo::mw17201::kLastTradedPrice0, .view = kFoMwView});
inline constexpr RecordList kFoMwWide = Checked({.recordSize = fo::mwWide::kRecordSize,
    .capacity = fo::mwWide::kCapacity, .messageLength = fo::mwWide::kMessageLength, .packetLength = 0,
    .converted = fo::mwWide::kConverted,
    .tokenWidth = 4, .valueAt = fo::mwWide::kLastTradedPrice0, .view = kWideMwView});
// 7202: records of market type 1 report the fill price.
inline constexpr RecordList kCmTicker{.recordSize = cm::ticker::kRecordSize, .capacity = cm::ticker::kCapacity,
    .messageLength = cm::ticker::kMessageLength, .packetLength = cm::ticker::kPacketLength,
    .converted = cm::ticker::kConverted, .tokenWidth = 2, .valueAt = cm::ticker::kFillPrice,
    .testAt = {cm::ticker::kMarketType, -1}, .testEquals = {1, 0}, .view = kCmTickerView};
inline constexpr RecordList kCmTicker18703 = Checked({.recordSize = cm::ticker18703::kRecordSize,
    .capacity = cm::ticker18703::kCapacity, .messageLength = cm::ticker18703::kMessageLength, .packetLength = 0,
    .converted = cm::ticker18703::kConverted, .tokenWidth = 4, .valueAt = cm::ticker18703::kFillPrice,
    .testAt = {cm::ticker18703::kMarketType, -1}, .testEquals = {1, 0}, .view = kCmTicker18703View});
inline constexpr RecordList kFoTicker{.recordSize = fo::ticker::kRecordSize, .capacity = fo::ticker::kCapacity,
    .messageLength = fo::ticker::kMessageLength, .packetLength = fo::ticker::kPacketLength,
    .converted = fo::ticker::kConverted, .tokenWidth = 4, .valueAt = fo::ticker::kFillPrice,
    .testAt = {fo::ticker::kMarketType, -1}, .testEquals = {1, 0}, .view = kFoTickerView};
inline constexpr RecordList kFoTicker17202 = Checked({.recordSize = fo::ticker17202::kRecordSize,
    .capacity = fo::ticker17202::kCapacity, .messageLength = fo::ticker17202::kMessageLength, .packetLength = 0,
    .converted = fo::ticker17202::kConverted, .tokenWidth = 4, .valueAt = fo::ticker17202::kFillPrice,
    .testAt = {fo::ticker17202::kMarketType, -1}, .testEquals = {1, 0}, .view = kFoTicker17202View});
// 7208: records with trading status 2 and book type 1 report the last traded price.
inline constexpr RecordList kCmMbp = Checked({.recordSize = cm::mbp::kRecordSize, .capacity = cm::mbp::kCapacity,
    .messageLength = cm::mbp::kMessageLength, .packetLength = cm::mbp::kPacketLength,
    .converted = cm::mbp::kConverted, .tokenWidth = 2, .valueAt = cm::mbp::kLastTradedPrice,
    .testAt = {cm::mbp::kTradingStatus, cm::mbp::kBookType}, .testEquals = {2, 1}, .view = kCmMbpView});
inline constexpr RecordList kCmMbpWide = Checked({.recordSize = cm::mbpWide::kRecordSize,
    .capacity = cm::mbpWide::kCapacity, .messageLength = cm::mbpWide::kMessageLength, .packetLength = 0,
    .converted = cm::mbpWide::kConverted, .tokenWidth = 4, .valueAt = wideMbp::kLastTradedPrice,
    .testAt = {wideMbp::kTradingStatus, wideMbp::kBookType}, .testEquals = {2, 1}, .view = kCmMbpWideView});
inline constexpr RecordList kFoMbp{.recordSize = fo::mbp::kRecordSize, .capacity = fo::mbp::kCapacity,
    .messageLength = fo::mbp::kMessageLength, .packetLength = fo::mbp::kPacketLength,
    .converted = fo::mbp::kConverted, .tokenWidth = 4, .valueAt = fo::mbp::kLastTradedPrice,
    .testAt = {fo::mbp::kTradingStatus, fo::mbp::kBookType}, .testEquals = {2, 1}, .view = kFoMbpView};
inline constexpr RecordList kFoMbp17208 = Checked({.recordSize = fo::mbp17208::kRecordSize,
    .capacity = fo::mbp17208::kCapacity, .messageLength = fo::mbp17208::kMessageLength, .packetLength = 0,
    .converted = fo::mbp17208::kConverted, .tokenWidth = 4, .valueAt = wideMbp::kLastTradedPrice,
    .testAt = {wideMbp::kTradingStatus, wideMbp::kBookType}, .testEquals = {2, 1}, .view = kFo17208View});
// 7203 and 7207 report nothing: converted and forwarded only.
inline constexpr RecordList kCmIndustry{.recordSize = cm::industry::kRecordSize, .capacity = cm::industry::kCapacity,
    .messageLength = cm::industry::kMessageLength, .packetLength = cm::industry::kPacketLength,
    .converted = cm::industry::kConverted};
inline constexpr RecordList kFoIndustry{.recordSize = fo::industry::kRecordSize, .capacity = fo::industry::kCapacity,
    .messageLength = fo::industry::kMessageLength, .packetLength = fo::industry::kPacketLength,
    .converted = fo::industry::kConverted};
inline constexpr RecordList kIndices{.recordSize = cm::indices::kRecordSize, .capacity = cm::indices::kCapacity,
    .messageLength = cm::indices::kMessageLength, .packetLength = cm::indices::kPacketLength,
    .converted = cm::indices::kConverted};

// The forms of today's codes that are not record lists.
inline constexpr FormLengths kSpread17211Form{.full = WireLength(fo::spread17211::kMessageLength)};
inline constexpr FormLengths kOpenInterest17130Form{.full = WireLength(fo::oi17130::kMessageLength),
    .recordSize = fo::oi17130::kEntrySize, .capacity = fo::oi17130::kCapacity, .recordsAt = fo::oi17130::kEntriesAt,
    .countAt = header::kErrorCode};
inline constexpr FormLengths kSecurity18720Form{.full = WireLength(cm::security18720::kMessageLength)};

// The security update of the capital market: what its handler copies, reads
// and converts.
struct SecurityUpdateLayout {
  int copyLength;
  int token, tokenWidth, symbol, series, end;
};
inline constexpr SecurityUpdateLayout kCmSecurity{cm::security::kMessageLength, cm::security::kToken,
    cm::security::kTokenWidth, cm::security::kSymbol, cm::security::kSeries,
    cm::security::kSeries + cm::security::kSeriesSize};
inline constexpr SecurityUpdateLayout kCmSecurity18720{cm::security18720::kMessageLength,
    cm::security18720::kToken, cm::security18720::kTokenWidth, cm::security18720::kSymbol,
    cm::security18720::kSeries, cm::security18720::kSeries + cm::security18720::kSeriesSize};

}  // namespace lists

}  // namespace fh::nse
