// Framing cost against bare LZO1Z decompression of the same packets.
//
// The datagrams look like the capital-market feed at its busiest: market-by-
// price messages (7208, 466 bytes with the header, two 212-byte records of
// ten depth entries each) whose prices and quantities move a little from
// message to message, compressed with LZO1Z-999 and packed as many to a
// datagram as fit in 512 bytes. The framing runs with empty decoder entries,
// so what it adds over decompression is the recording check, counting, header
// conversion and bounds checks. Goal: framing at most 1.2 x decompression.
//
//   build/bench/framing_bench
#include <benchmark/benchmark.h>
#include <lzo/lzo1z.h>
#include <lzo/lzoconf.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "feedstate/exg_seg.h"
#include "feedstate/feed_context.h"
#include "intake/framing.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace hd = fh::nse::header;
namespace pk = fh::nse::packet;

constexpr int kRecords = 2;
constexpr int kRecordSize = 212;
constexpr int kMessageLength = 2 + hd::kBodyAt + 2 + kRecords * kRecordSize;  // 466

// One market-by-price plain packet: 8 leading bytes, header, body.
Bytes MbpPacket(std::mt19937& rng, int sequence) {
  Bytes p(static_cast<std::size_t>(pk::kHeaderAt + kMessageLength), 0);
  std::uint8_t* m = p.data() + pk::kMessageAt;
  fh::StoreBe32(m + hd::kLogTime, 1325000000 + sequence / 50);
  m[hd::kAlphaChar] = 'N';
  m[hd::kAlphaChar + 1] = 'E';
  fh::StoreBe16(m + hd::kTransactionCode, 7208);
  fh::StoreBe32(m + hd::kTimeStamp1, 0x12340000 + sequence);
  fh::StoreBe16(m + hd::kMessageLength, static_cast<std::int16_t>(kMessageLength));
  std::uint8_t* body = m + hd::kBodyAt;
  fh::StoreBe16(body, kRecords);
  for (int r = 0; r < kRecords; ++r) {
    std::uint8_t* rec = body + 2 + static_cast<std::ptrdiff_t>(r) * kRecordSize;
    const int token = 1000 + static_cast<int>(rng() % 50);
    const int ltp = 25000 + static_cast<int>(rng() % 40) * 5;
    fh::StoreBe16(rec + 0, static_cast<std::int16_t>(token));
    fh::StoreBe16(rec + 2, 1);  // book type
    fh::StoreBe16(rec + 4, 2);  // trading status
    fh::StoreBe32(rec + 6, 150000 + static_cast<int>(rng() % 9000));  // volume traded today
    fh::StoreBe32(rec + 10, ltp);
    rec[14] = '+';
    fh::StoreBe32(rec + 15, ltp - 24950);  // net price change
    fh::StoreBe32(rec + 19, 100 * (1 + static_cast<int>(rng() % 5)));  // last traded quantity
    fh::StoreBe32(rec + 23, 1325000000 + sequence / 50);
    fh::StoreBe32(rec + 27, ltp - 35);  // average traded price
    for (int e = 0; e < 10; ++e) {  // depth: five buys below, five sells above
      std::uint8_t* entry = rec + 31 + std::ptrdiff_t{12} * e;
      const int step = e < 5 ? -5 * e : 5 * (e - 4);
      fh::StoreBe32(entry + 0, 100 * (1 + (e + sequence) % 4));
      fh::StoreBe32(entry + 4, ltp + step);
      fh::StoreBe16(entry + 8, static_cast<std::int16_t>(1 + e % 3));
      fh::StoreBe16(entry + 10, 0);
    }
    fh::StoreBeDouble(rec + 151, 250000.0 + static_cast<double>(sequence % 100) * 100);
    fh::StoreBeDouble(rec + 159, 260000.0 + static_cast<double>(sequence % 100) * 100);
    rec[167] = ' ';
    fh::StoreBe32(rec + 168, 24950);  // closing
    fh::StoreBe32(rec + 172, 25010);  // open
    fh::StoreBe32(rec + 176, 25600);  // high
    fh::StoreBe32(rec + 180, 24800);  // low
  }
  return p;
}

Bytes Compress(const Bytes& plain) {
  static std::vector<unsigned char> work(LZO1Z_999_MEM_COMPRESS);
  Bytes out(plain.size() + plain.size() / 16 + 64 + 3);
  lzo_uint n = out.size();
  lzo1z_999_compress(plain.data(), plain.size(), out.data(), &n, work.data());
  out.resize(n);
  return out;
}

struct Datagram {
  Bytes bytes;
  std::vector<std::pair<int, int>> packets;  // offset and size of each compressed packet
};

// 256 datagrams of as many compressed packets as fit in 512 bytes.
const std::vector<Datagram>& Datagrams(std::uint8_t netId) {
  static std::map<int, std::vector<Datagram>> cache;
  auto& all = cache[netId];
  if (!all.empty()) return all;
  lzo_init();
  std::mt19937 rng(7);
  int sequence = 0;
  Bytes next = Compress(MbpPacket(rng, sequence++));
  while (all.size() < 256) {
    Datagram d;
    d.bytes = {netId, 0, 0, 0};
    while (d.bytes.size() + 2 + next.size() <= 512) {
      std::uint8_t f[2];
      fh::StoreBe16(f, static_cast<std::int16_t>(next.size()));
      d.bytes.insert(d.bytes.end(), f, f + 2);
      d.packets.emplace_back(static_cast<int>(d.bytes.size()), static_cast<int>(next.size()));
      d.bytes.insert(d.bytes.end(), next.begin(), next.end());
      next = Compress(MbpPacket(rng, sequence++));
    }
    fh::StoreBe16(d.bytes.data() + fh::nse::datagram::kNoOfPackets, static_cast<std::int16_t>(d.packets.size()));
    all.push_back(std::move(d));
  }
  return all;
}

class NoBoxes final : public fh::MessageBoxes {
 public:
  void Show(std::string_view) override {}
};
class NoExit final : public fh::ProgramExit {
 public:
  void Exit(int) override {}
};

struct Feed {
  fh::FeedHandlerOptions options;
  fh::LogList log;
  fh::CounterGrid grid;
  fh::SegmentFiles files;
  fh::FilePlaces places;
  fh::InstancePorts ports;
  NoBoxes boxes;
  NoExit exit;
  fh::FeedMetrics metrics;
  fh::FeedContext ctx{options, log, grid, files, places, ports, boxes, exit, metrics};
};

void SetStats(benchmark::State& state, const std::vector<Datagram>& all) {
  std::size_t packets = 0, bytes = 0;
  for (const auto& d : all) {
    packets += d.packets.size();
    bytes += d.bytes.size();
  }
  state.counters["packets/dgram"] = static_cast<double>(packets) / static_cast<double>(all.size());
  state.counters["bytes/dgram"] = static_cast<double>(bytes) / static_cast<double>(all.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

double ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// CPU time per datagram of each benchmark's last run (steadier than wall time
// on a shared machine), printed with the ratios when the program ends.
struct Figures {
  std::map<std::string, double> ns;
  ~Figures() {
    const auto bare = ns.find("bare decompression");
    if (bare == ns.end() || bare->second <= 0) return;
    std::printf("\nbare decompression: %.1f ns/datagram\n", bare->second);
    for (const char* name : {"CM framing", "FO framing"}) {
      const auto it = ns.find(name);
      if (it == ns.end()) continue;
      std::printf("%s: %.1f ns/datagram, %.2f x bare decompression (goal <= 1.20)\n", name, it->second,
                  it->second / bare->second);
    }
  }
};
Figures& Results() {
  static Figures figures;
  return figures;
}
void Record(const char* name, benchmark::State& state, double startNs) {
  if (state.iterations() > 0) Results().ns[name] = (ThreadCpuNs() - startNs) / static_cast<double>(state.iterations());
}

// The receiver's road: the datagram lands in the 512-byte buffer, then the
// capital-market framing converts it in place.
void BM_FrameCmDatagram(benchmark::State& state) {
  Feed feed;
  fh::Framing framing(feed.ctx);
  const auto& all = Datagrams(fh::kNetIdCm);
  std::uint8_t buf[512];
  std::size_t i = 0;
  const double start = ThreadCpuNs();
  for (auto _ : state) {
    const Datagram& d = all[i++ & 255];
    std::memcpy(buf, d.bytes.data(), d.bytes.size());
    framing.FrameCmDatagram(buf, static_cast<int>(d.bytes.size()));
    benchmark::DoNotOptimize(buf);
  }
  Record("CM framing", state, start);
  SetStats(state, all);
}
BENCHMARK(BM_FrameCmDatagram);

void BM_FrameFoDatagram(benchmark::State& state) {
  Feed feed;
  fh::Framing framing(feed.ctx);
  const auto& all = Datagrams(fh::kNetIdFo);
  std::uint8_t buf[512];
  std::size_t i = 0;
  const double start = ThreadCpuNs();
  for (auto _ : state) {
    const Datagram& d = all[i++ & 255];
    std::memcpy(buf, d.bytes.data(), d.bytes.size());
    framing.FrameFoDatagram(buf, static_cast<int>(d.bytes.size()));
    benchmark::DoNotOptimize(buf);
  }
  Record("FO framing", state, start);
  SetStats(state, all);
}
BENCHMARK(BM_FrameFoDatagram);

// Only the library's decompressor over the same packets.
void BM_BareDecompress(benchmark::State& state) {
  const auto& all = Datagrams(fh::kNetIdCm);
  static std::uint8_t out[5120];
  std::size_t i = 0;
  const double start = ThreadCpuNs();
  for (auto _ : state) {
    const Datagram& d = all[i++ & 255];
    for (const auto& [at, size] : d.packets) {
      lzo_uint n = sizeof out;
      lzo1z_decompress_safe(d.bytes.data() + at, static_cast<lzo_uint>(size), out, &n, nullptr);
    }
    benchmark::DoNotOptimize(out);
  }
  Record("bare decompression", state, start);
  SetStats(state, all);
}
BENCHMARK(BM_BareDecompress);

}  // namespace

BENCHMARK_MAIN();
