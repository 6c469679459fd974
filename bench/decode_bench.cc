// NSE decoding speed: realistic capital-market and F&O messages (mostly market
// by price 7208 and ticker 7202, a few market watch 7201, indices 7207 and
// security/contract updates 7305) decoded with BCAST DELTA and CTCL on, a
// connected Bridge that only counts, and 150,000 instruments in the table.
// Then the same messages framed as whole LZO1Z datagrams through the intake
// framing, beside bare lzo1z_decompress_safe of the same packets.
//
//   build/bench/decode_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// BM_Decode*/delta:0 and BM_Frame*/delta:0 run the same messages with BCAST DELTA off, which leaves
// out the instrument-table lookups. Every iteration is one message (BM_Decode*) or one datagram (BM_Frame*,
// BM_BareDecompress*), so the time column reads as ns per message or per
// datagram.
#include <benchmark/benchmark.h>
#include <lzo/lzo1z.h>
#include <lzo/lzoconf.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "distribution/bridge_output.h"
#include "feedstate/exg_seg.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "intake/framing.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"
#include "nse/ncm_decoder.h"
#include "nse/nfo_decoder.h"

namespace {

using namespace fh;
using namespace fh::nse;

constexpr int kCmInstruments = 30000;    // capital-market tokens 1 .. 30000
constexpr int kFoInstruments = 120000;   // F&O tokens from 35000
constexpr int kFoFirstToken = 35000;
constexpr int kMessages = 4096;
constexpr int kHotTokens = 2000;
constexpr int kPlainSize = packet::kMessageAt + 1024;  // 8 leading bytes, 2 header bytes, the message

class CountingOutput final : public BridgeOutput {
 public:
  bool BridgeConnected() const override { return true; }
  int SendToBridges(int, int length, const std::uint8_t*, std::int64_t) override {
    ++packets;
    bytes += length;
    return 1;
  }
  int SendDeltaAll(int, const char* text) override {
    ++lines;
    bytes += static_cast<long long>(std::strlen(text));
    return 0;
  }
  int SendDeltaSubscribed(int segment, char* text, std::size_t) override {
    ++lines;
    bytes += static_cast<long long>(std::strlen(text)) + (segment > 9 ? 2 : 1);
    return 0;
  }
  long long packets = 0;
  long long lines = 0;
  long long bytes = 0;
};

class NoBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view) override {}
};
class NoExit final : public ProgramExit {
 public:
  void Exit(int) override {}
};

// The feed state of one run: BCAST DELTA and CTCL on, 150,000 instruments
// (a key by segment and token each), every tenth one subscribed.
struct Bench {
  FeedHandlerOptions options;
  LogList log{1000};
  CounterGrid grid;
  SegmentFiles files;
  FilePlaces places{"/tmp", "/tmp"};
  InstancePorts ports;
  NoBoxes boxes;
  NoExit exit;
  FeedMetrics metrics;
  FeedContext context{options, log, grid, files, places, ports, boxes, exit, metrics};
  InstrumentMap instruments;
  CountingOutput out;
  IndustryIndexCounters industryIndex;

  Bench() {
    grid.LayOut();
    options.bcastDelta = 1;
    options.ctcl = 1;
    char key[InstrumentMap::kKeySize];
    for (int i = 0; i < kCmInstruments + kFoInstruments; ++i) {
      const int seg = i < kCmInstruments ? 1 : 2;
      const int token = seg == 1 ? i + 1 : kFoFirstToken + (i - kCmInstruments);
      const std::size_t n = InstrumentMap::FormatKey(key, seg, token);
      InstrumentRecord* r = instruments.FindOrCreate(std::string_view(key, n), token, "");
      if (i % 10 == 0) r->subscribed = 1;
    }
  }
};

// One plain packet (8 leading bytes, BcastHeader, body) as the exchange sends
// it: every integer big-endian. The message address is at packet::kMessageAt.
struct Plain {
  std::uint8_t bytes[kPlainSize] = {};
  int size = 0;  // 8 + MessageLength

  std::uint8_t* Message() { return bytes + packet::kMessageAt; }
  void Begin(int code, int messageLength) {
    std::uint8_t* m = Message();
    StoreBe32(m + header::kLogTime, 1234567);
    StoreBe16(m + header::kTransactionCode, static_cast<std::int16_t>(code));
    StoreBe16(m + header::kErrorCode, 0);
    // MessageLength counts the 40 header bytes and the body; the message
    // address lies 2 bytes into the header.
    const int wireLength = messageLength + 2;
    StoreBe16(m + header::kMessageLength, static_cast<std::int16_t>(wireLength));
    size = packet::kHeaderAt + wireLength;
  }
};

// Realistic bodies: prices around a base, small quantities, mostly zeros
// where the exchange sends zeros.
class MessageMaker {
 public:
  explicit MessageMaker(int segment) : segment_(segment), rng_(static_cast<std::mt19937::result_type>(segment) * 7919u) {}

  Plain Make() {
    const int pick = static_cast<int>(rng_() % 100);
    if (pick < 45) return MarketByPrice();
    if (pick < 90) return Ticker();
    if (pick < 95) return MarketWatch();
    if (pick < 98) return Indices();
    return Update();
  }

 private:
  // Trading concentrates on few instruments: nine tokens in ten come from
  // the kHotTokens most active, the rest from the whole table.
  int Token() {
    const int count = segment_ == 1 ? kCmInstruments : kFoInstruments;
    const int pick = rng_() % 10 != 0 ? static_cast<int>(rng_() % kHotTokens) * (count / kHotTokens)
                                      : static_cast<int>(rng_() % count);
    return segment_ == 1 ? 1 + pick : kFoFirstToken + pick;
  }
  int Price() { return 100000 + static_cast<int>(rng_() % 50000); }
  int Quantity() { return 25 * (1 + static_cast<int>(rng_() % 40)); }
  void PutToken(std::uint8_t* p, int token) const {
    if (segment_ == 1) {
      StoreBe16(p, static_cast<std::int16_t>(token));
    } else {
      StoreBe32(p, token);
    }
  }

  Plain MarketByPrice() {
    Plain p;
    const bool cm = segment_ == 1;
    const int length = cm ? cm::mbp::kMessageLength : fo::mbp::kMessageLength;
    const int size = cm ? cm::mbp::kRecordSize : fo::mbp::kRecordSize;
    const int s = cm ? 0 : fo::mbp::kShift;
    p.Begin(cm::mbp::kCode, length);
    std::uint8_t* m = p.Message();
    StoreBe16(m + records::kNoOfRecords, 2);
    for (int i = 0; i < 2; ++i) {
      std::uint8_t* r = m + records::kRecordsAt + static_cast<std::ptrdiff_t>(i) * size;
      const int ltp = Price();
      PutToken(r, Token());
      StoreBe16(r + s + cm::mbp::kBookType, 1);
      StoreBe16(r + s + cm::mbp::kTradingStatus, 2);
      StoreBe32(r + s + cm::mbp::kVolumeTradedToday, 100000 + static_cast<int>(rng_() % 100000));
      StoreBe32(r + s + cm::mbp::kLastTradedPrice, ltp);
      r[s + cm::mbp::kNetChangeIndicator] = '+';
      StoreBe32(r + s + cm::mbp::kLastTradeQuantity, Quantity());
      StoreBe32(r + s + cm::mbp::kLastTradeTime, 1100000000);
      StoreBe32(r + s + cm::mbp::kAverageTradePrice, ltp - 15);
      for (int k = 0; k < cm::mbp::kMbpInfoCount; ++k) {
        std::uint8_t* e = r + s + cm::mbp::kMbpInfoAt + static_cast<std::ptrdiff_t>(k) * cm::mbp::kMbpInfoSize;
        StoreBe32(e + mbpinfo::kQuantity, Quantity());
        StoreBe32(e + mbpinfo::kPrice, ltp + (k < cm::mbp::kMbpSellAt ? -5 * (k + 1) : 5 * (k - 4)));
        StoreBe16(e + mbpinfo::kNumberOfOrders, static_cast<std::int16_t>(1 + rng_() % 9));
      }
      StoreBeDouble(r + s + cm::mbp::kTotalBuyQuantity, 150000.0);
      StoreBeDouble(r + s + cm::mbp::kTotalSellQuantity, 120000.0);
      StoreBe32(r + s + cm::mbp::kClosingPrice, ltp - 300);
      StoreBe32(r + s + cm::mbp::kOpenPrice, ltp - 200);
      StoreBe32(r + s + cm::mbp::kHighPrice, ltp + 500);
      StoreBe32(r + s + cm::mbp::kLowPrice, ltp - 500);
    }
    return p;
  }

  Plain Ticker() {
    Plain p;
    const bool cm = segment_ == 1;
    const int length = cm ? cm::ticker::kMessageLength : fo::ticker::kMessageLength;
    const int capacity = cm ? cm::ticker::kCapacity : fo::ticker::kCapacity;
    const int size = cm ? cm::ticker::kRecordSize : fo::ticker::kRecordSize;
    p.Begin(cm::ticker::kCode, length);
    std::uint8_t* m = p.Message();
    const int n = capacity / 2 + static_cast<int>(rng_() % (capacity / 2 + 1));
    StoreBe16(m + records::kNoOfRecords, static_cast<std::int16_t>(n));
    for (int i = 0; i < n; ++i) {
      std::uint8_t* r = m + records::kRecordsAt + static_cast<std::ptrdiff_t>(i) * size;
      PutToken(r, Token());
      if (cm) {
        StoreBe16(r + cm::ticker::kMarketType, 1);
        StoreBe32(r + cm::ticker::kFillPrice, Price());
        StoreBe32(r + cm::ticker::kFillVolume, Quantity());
      } else {
        StoreBe16(r + fo::ticker::kMarketType, 1);
        StoreBe32(r + fo::ticker::kFillPrice, Price());
        StoreBe32(r + fo::ticker::kFillVolume, Quantity());
        StoreBe32(r + fo::ticker::kOpenInterest, 500000);
      }
    }
    return p;
  }

  Plain MarketWatch() {
    Plain p;
    const bool cm = segment_ == 1;
    p.Begin(cm::mw::kCode, cm ? cm::mw::kMessageLength : fo::mw::kMessageLength);
    std::uint8_t* m = p.Message();
    const int capacity = cm ? cm::mw::kCapacity : fo::mw::kCapacity;
    StoreBe16(m + records::kNoOfRecords, static_cast<std::int16_t>(capacity));
    for (int i = 0; i < capacity; ++i) {
      std::uint8_t* r = m + records::kRecordsAt + static_cast<std::ptrdiff_t>(i) * (cm ? cm::mw::kRecordSize : fo::mw::kRecordSize);
      PutToken(r, Token());
      std::uint8_t* b = r + (cm ? cm::mw::kMarketsAt : fo::mw::kMarketsAt);
      const int ltp = Price();
      StoreBe32(b + cm::mw::kBuyVolume, Quantity());
      StoreBe32(b + cm::mw::kBuyPrice, ltp - 5);
      StoreBe32(b + cm::mw::kSellVolume, Quantity());
      StoreBe32(b + cm::mw::kSellPrice, ltp + 5);
      StoreBe32(b + cm::mw::kLastTradedPrice, ltp);
      StoreBe32(b + cm::mw::kLastTradeTime, 1100000000);
    }
    return p;
  }

  Plain Indices() {
    Plain p;
    p.Begin(cm::indices::kCode, cm::indices::kMessageLength);
    std::uint8_t* m = p.Message();
    StoreBe16(m + records::kNoOfRecords, cm::indices::kCapacity);
    for (int i = 0; i < cm::indices::kCapacity; ++i) {
      std::uint8_t* r = m + records::kRecordsAt + static_cast<std::ptrdiff_t>(i) * cm::indices::kRecordSize;
      std::memcpy(r + cm::indices::kName, "Nifty 50             ", cm::indices::kNameSize);
      StoreBe32(r + cm::indices::kIndexValue, 1750000 + static_cast<int>(rng_() % 1000));
      StoreBe32(r + cm::indices::kHighIndexValue, 1760000);
      StoreBe32(r + cm::indices::kLowIndexValue, 1740000);
      StoreBeDouble(r + cm::indices::kMarketCapitalisation, 1.2e13);
    }
    return p;
  }

  Plain Update() {
    Plain p;
    const int token = segment_ == 1 ? 30000 + static_cast<int>(rng_() % 2000) : 200000 + next_++;
    if (segment_ == 1) {
      p.Begin(cm::security::kCode, cm::security::kMessageLength);
      StoreBe16(p.Message() + cm::security::kToken, static_cast<std::int16_t>(token));
      std::memcpy(p.Message() + cm::security::kSymbol, "RELIANCE  ", cm::security::kSymbolSize);
      std::memcpy(p.Message() + cm::security::kSeries, "EQ", cm::security::kSeriesSize);
    } else {
      p.Begin(fo::contract::kCode, 300);
      std::uint8_t* m = p.Message();
      StoreBe32(m + fo::contract::kToken, token);
      std::memcpy(m + fo::contract::kSymbol, "NIFTY     ", fo::contract::kSymbolSize);
      StoreBe32(m + fo::contract::kExpiryDate, 1325376000);
      StoreBe32(m + fo::contract::kStrikePrice, 540000);
      std::memcpy(m + fo::contract::kOptionType, "CE", fo::contract::kOptionTypeSize);
    }
    return p;
  }

  int segment_;
  std::mt19937 rng_;
  int next_ = 0;
};

// The message as the framing hands it: header fields in host order.
std::vector<std::uint8_t> Framed(Plain p) {
  std::uint8_t* m = p.Message();
  ToHost32(m + header::kLogTime);
  ToHost16(m + header::kTransactionCode);
  ToHost16(m + header::kErrorCode);
  ToHost16(m + header::kMessageLength);
  const int length = Load16(m + header::kMessageLength);
  return std::vector<std::uint8_t>(m, m + length);
}

std::vector<std::vector<std::uint8_t>> Messages(int segment) {
  MessageMaker maker(segment);
  std::vector<std::vector<std::uint8_t>> out;
  out.reserve(kMessages);
  for (int i = 0; i < kMessages; ++i) out.push_back(Framed(maker.Make()));
  return out;
}

template <class Decoder>
void RunDecode(benchmark::State& state, Bench& bench, Decoder& decoder,
               const std::vector<std::vector<std::uint8_t>>& messages) {
  std::uint8_t work[1100];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t>& m = messages[i++ & (kMessages - 1)];
    std::memcpy(work, m.data(), m.size());  // the framing's fresh output buffer
    decoder.Decode(work, static_cast<int>(m.size()));
    benchmark::ClobberMemory();
  }
  state.counters["packets"] = benchmark::Counter(static_cast<double>(bench.out.packets), benchmark::Counter::kAvgIterations);
  state.counters["lines"] = benchmark::Counter(static_cast<double>(bench.out.lines), benchmark::Counter::kAvgIterations);
}

void BM_DecodeCapitalMarket(benchmark::State& state) {
  static Bench bench;
  static NcmDecoder decoder(bench.context, bench.instruments, bench.out, bench.industryIndex);
  static const auto messages = Messages(1);
  bench.out = CountingOutput();
  bench.options.bcastDelta = static_cast<int>(state.range(0));
  RunDecode(state, bench, decoder, messages);
  bench.options.bcastDelta = 1;
}
BENCHMARK(BM_DecodeCapitalMarket)->ArgName("delta")->Arg(1)->Arg(0);

void BM_DecodeFuturesAndOptions(benchmark::State& state) {
  static Bench bench;
  static NfoDecoder decoder(bench.context, bench.instruments, bench.out, bench.industryIndex);
  static const auto messages = Messages(2);
  bench.out = CountingOutput();
  bench.options.bcastDelta = static_cast<int>(state.range(0));
  RunDecode(state, bench, decoder, messages);
  bench.options.bcastDelta = 1;
}
BENCHMARK(BM_DecodeFuturesAndOptions)->ArgName("delta")->Arg(1)->Arg(0);

// ---------------------------------------------------------------------------
// One form at a time: each of today's forms beside its classic twin, the
// records filled alike (the same tokens, every record reported), so the
// time per message compares the handler on the two layouts.
//
//   build/bench/decode_bench --benchmark_filter=BM_DecodeForm

// A record list of form L: records (at most the capacity) with a token from
// the hot set, the tested fields set to pass, a price in the reported field
// and the other converted fields filled with small numbers.
std::vector<std::uint8_t> RecordListMessage(const RecordList& L, int code, int segment, std::mt19937& rng) {
  Plain p;
  const int messageLength = records::kRecordsAt + L.capacity * L.recordSize;
  p.Begin(code, messageLength);
  std::uint8_t* m = p.Message();
  StoreBe16(m + records::kNoOfRecords, static_cast<std::int16_t>(L.capacity));
  for (int i = 0; i < L.capacity; ++i) {
    std::uint8_t* r = m + records::kRecordsAt + static_cast<std::ptrdiff_t>(i) * L.recordSize;
    for (const Field& f : L.converted) {
      const std::int64_t v = 1 + static_cast<int>(rng() % 1000);
      if (f.width == 2) StoreBe16(r + f.offset, static_cast<std::int16_t>(v));
      if (f.width == 4) StoreBe32(r + f.offset, static_cast<std::int32_t>(v));
      if (f.width == 8) StoreBe64(r + f.offset, v << 20);
    }
    const int hot = static_cast<int>(rng() % kHotTokens) * 10;
    const int token = segment == 1 ? 1 + hot : kFoFirstToken + hot;
    if (L.tokenWidth == 2) StoreBe16(r, static_cast<std::int16_t>(token));
    if (L.tokenWidth == 4) StoreBe32(r, token);
    for (int t = 0; t < 2; ++t) {
      if (L.testAt[static_cast<std::size_t>(t)] >= 0)
        StoreBe16(r + L.testAt[static_cast<std::size_t>(t)], static_cast<std::int16_t>(L.testEquals[static_cast<std::size_t>(t)]));
    }
    StoreBe32(r + L.valueAt, 100000 + static_cast<int>(rng() % 50000));
  }
  return Framed(p);
}

// A message of one of the forms that are not record lists: security update,
// spread, open-interest pairs.
std::vector<std::uint8_t> SingleMessage(int code, std::mt19937& rng) {
  Plain p;
  std::uint8_t* m = p.Message();
  const int token = 30000 + static_cast<int>(rng() % 20000);
  switch (code) {
    case cm::security::kCode:
      p.Begin(code, cm::security::kMessageLength);
      StoreBe16(m + cm::security::kToken, static_cast<std::int16_t>(token));
      std::memcpy(m + cm::security::kSymbol, "RELIANCE  EQ", cm::security::kSymbolSize + cm::security::kSeriesSize);
      break;
    case cm::security18720::kCode:
      p.Begin(code, cm::security18720::kMessageLength);
      StoreBe32(m + cm::security18720::kToken, token);
      std::memcpy(m + cm::security18720::kSymbol, "RELIANCE  EQ",
                  cm::security18720::kSymbolSize + cm::security18720::kSeriesSize);
      break;
    case fo::spread::kCode:
      p.Begin(code, fo::spread::kMessageLength);
      for (const Field& f : fo::spread::kConverted) StoreBe32(m + f.offset, static_cast<std::int32_t>(rng() % 1000));
      break;
    case fo::spread17211::kCode:
      p.Begin(code, fo::spread17211::kMessageLength);
      for (const Field& f : fo::spread17211::kConverted) StoreBe32(m + f.offset, static_cast<std::int32_t>(rng() % 1000));
      break;
    case fo::pairs7130::kCode:
      p.Begin(code, fo::pairs7130::kEntriesAt + 58 * fo::pairs7130::kEntrySize);
      StoreBe16(m + header::kErrorCode, 58);
      break;
    case fo::oi17130::kCode:
      p.Begin(code, fo::oi17130::kMessageLength);
      StoreBe16(m + header::kErrorCode, fo::oi17130::kCapacity);
      break;
    default: break;
  }
  return Framed(p);
}

struct Form {
  const char* name;
  int segment;
  int code;
  const RecordList* list;  // null: SingleMessage
};
const Form kForms[] = {
    {"CM 7201", 1, 7201, &lists::kCmMw},          {"CM 7201 today", 1, 7201, &lists::kCmMwWide},
    {"CM 7202", 1, 7202, &lists::kCmTicker},      {"CM 18703", 1, 18703, &lists::kCmTicker18703},
    {"CM 7208", 1, 7208, &lists::kCmMbp},         {"CM 7208 today", 1, 7208, &lists::kCmMbpWide},
    {"CM 7305", 1, 7305, nullptr},                {"CM 18720", 1, 18720, nullptr},
    {"FO 7201", 2, 7201, &lists::kFoMw},          {"FO 17201", 2, 17201, &lists::kFoMw17201},
    {"FO 7201 today", 2, 7201, &lists::kFoMwWide}, {"FO 7202", 2, 7202, &lists::kFoTicker},
    {"FO 17202", 2, 17202, &lists::kFoTicker17202}, {"FO 7208", 2, 7208, &lists::kFoMbp},
    {"FO 17208", 2, 17208, &lists::kFoMbp17208},  {"FO 7211", 2, 7211, nullptr},
    {"FO 17211", 2, 17211, nullptr},              {"FO 7130", 2, 7130, nullptr},
    {"FO 17130", 2, 17130, nullptr},
};

void BM_DecodeForm(benchmark::State& state) {
  static Bench bench;
  static NcmDecoder ncm(bench.context, bench.instruments, bench.out, bench.industryIndex);
  static NfoDecoder nfo(bench.context, bench.instruments, bench.out, bench.industryIndex);
  const Form& form = kForms[state.range(0)];
  state.SetLabel(form.name);
  std::mt19937 rng(static_cast<unsigned>(form.code));  // twins draw the same tokens
  std::vector<std::vector<std::uint8_t>> messages;
  messages.reserve(kMessages);
  for (int i = 0; i < kMessages; ++i) {
    messages.push_back(form.list != nullptr ? RecordListMessage(*form.list, form.code, form.segment, rng)
                                            : SingleMessage(form.code, rng));
  }
  bench.out = CountingOutput();
  if (form.segment == 1) {
    RunDecode(state, bench, ncm, messages);
  } else {
    RunDecode(state, bench, nfo, messages);
  }
}
BENCHMARK(BM_DecodeForm)->DenseRange(0, std::size(kForms) - 1);

// Whole datagrams: net id, packet count, then compLen and LZO1Z bytes per
// packet, as many packets as fit in 512 bytes.
struct Datagrams {
  std::vector<std::vector<std::uint8_t>> datagrams;
  long long packets = 0;

  Datagrams(int segment, std::uint8_t netId) {
    if (lzo_init() != LZO_E_OK) std::abort();
    std::vector<unsigned char> wrk(LZO1Z_999_MEM_COMPRESS);
    MessageMaker maker(segment);
    while (static_cast<int>(datagrams.size()) < kMessages / 4) {
      std::vector<std::uint8_t> d(datagram::kPacketsAt);
      d[datagram::kNetId] = netId;
      int count = 0;
      for (;;) {
        Plain p = maker.Make();
        std::uint8_t packed[2048];
        lzo_uint packedLength = sizeof packed;
        lzo1z_999_compress(p.bytes, static_cast<lzo_uint>(p.size), packed, &packedLength, wrk.data());
        if (d.size() + datagram::kCompLenSize + packedLength > datagram::kMaxSize) break;
        const std::size_t at = d.size();
        d.resize(at + datagram::kCompLenSize + packedLength);
        StoreBe16(d.data() + at, static_cast<std::int16_t>(packedLength));
        std::memcpy(d.data() + at + datagram::kCompLenSize, packed, packedLength);
        ++count;
      }
      if (count == 0) continue;
      StoreBe16(d.data() + datagram::kNoOfPackets, static_cast<std::int16_t>(count));
      packets += count;
      datagrams.push_back(std::move(d));
    }
  }
};

void BM_FrameCapitalMarketDatagram(benchmark::State& state) {
  static Bench bench;
  static NcmDecoder decoder(bench.context, bench.instruments, bench.out, bench.industryIndex);
  static Framing framing(bench.context);
  static const Datagrams data(1, kNetIdCm);
  framing.SetDecoder(kSegNcm, MakeDecoderEntry(decoder));
  bench.options.bcastDelta = static_cast<int>(state.range(0));
  std::uint8_t work[datagram::kMaxSize];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t>& d = data.datagrams[i++ % data.datagrams.size()];
    std::memcpy(work, d.data(), d.size());  // the receiver's buffer, framed in place
    framing.FrameCmDatagram(work, static_cast<int>(d.size()));
  }
  state.counters["packets_per_datagram"] =
      static_cast<double>(data.packets) / static_cast<double>(data.datagrams.size());
}
BENCHMARK(BM_FrameCapitalMarketDatagram)->ArgName("delta")->Arg(1)->Arg(0);

void BM_FrameFuturesAndOptionsDatagram(benchmark::State& state) {
  static Bench bench;
  static NfoDecoder decoder(bench.context, bench.instruments, bench.out, bench.industryIndex);
  static Framing framing(bench.context);
  static const Datagrams data(2, kNetIdFo);
  framing.SetDecoder(kSegNfo, MakeDecoderEntry(decoder));
  bench.options.bcastDelta = static_cast<int>(state.range(0));
  std::uint8_t work[datagram::kMaxSize];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t>& d = data.datagrams[i++ % data.datagrams.size()];
    std::memcpy(work, d.data(), d.size());  // the receiver's buffer, framed in place
    framing.FrameFoDatagram(work, static_cast<int>(d.size()));
  }
  state.counters["packets_per_datagram"] =
      static_cast<double>(data.packets) / static_cast<double>(data.datagrams.size());
}
BENCHMARK(BM_FrameFuturesAndOptionsDatagram)->ArgName("delta")->Arg(1)->Arg(0);

// Only lzo1z_decompress_safe of every packet of the same datagrams.
void BareDecompress(benchmark::State& state, const Datagrams& data) {
  static std::uint8_t out[5120];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t>& d = data.datagrams[i++ % data.datagrams.size()];
    const int packets = LoadBe16(d.data() + datagram::kNoOfPackets);
    std::size_t at = datagram::kPacketsAt;
    for (int k = 0; k < packets; ++k) {
      const int compLen = LoadBe16(d.data() + at);
      at += datagram::kCompLenSize;
      lzo_uint outLength = sizeof out;
      lzo1z_decompress_safe(d.data() + at, static_cast<lzo_uint>(compLen), out, &outLength, nullptr);
      at += static_cast<std::size_t>(compLen);
      benchmark::DoNotOptimize(out[0]);
    }
  }
}

void BM_BareDecompressCapitalMarketDatagram(benchmark::State& state) {
  static const Datagrams data(1, kNetIdCm);
  BareDecompress(state, data);
}
BENCHMARK(BM_BareDecompressCapitalMarketDatagram);

void BM_BareDecompressFuturesAndOptionsDatagram(benchmark::State& state) {
  static const Datagrams data(2, kNetIdFo);
  BareDecompress(state, data);
}
BENCHMARK(BM_BareDecompressFuturesAndOptionsDatagram);

}  // namespace

BENCHMARK_MAIN();
