// exchange-sim: a simulated NSE broadcast (capital market, F&O, currency
// derivatives) and BSE feed, sent to the feed handler's default groups and
// ports or to those given.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/pacing.h"
#include "common/tool_net.h"
#include "feedstate/feed_defaults.h"
#include "feedstate/platform.h"
#include "sim/bse_feed.h"
#include "sim/junk.h"
#include "sim/ledger.h"
#include "sim/nse_feed.h"

namespace {

constexpr char kUsage[] =
    "usage: exchange-sim [options]\n"
    "Sends a simulated NSE broadcast (LZO1Z-compressed packets, several per\n"
    "datagram, prices that walk) and a BSE feed of message blocks.\n"
    "  --segments LIST      any of cm,fo,cd,bse (default all four)\n"
    "  --rate N             datagrams per second over all segments (default 1000;\n"
    "                       0 = as fast as possible)\n"
    "  --seconds S          send for S seconds (default 10 unless --count)\n"
    "  --count N            send N datagrams per segment\n"
    "  --tokens N           instruments per segment (default 50)\n"
    "  --seed N             random seed (default 1); the same seed sends the same feed\n"
    "  --plain-percent P    share of packets sent uncompressed (default 10)\n"
    "  --fixed-size N       pad every NSE datagram to N bytes (512 makes a Write BIN\n"
    "                       recording cut back into datagrams exactly)\n"
    "  --junk N             first send N malformed datagrams per segment\n"
    "  --pool N             build N datagrams per segment up front and cycle them\n"
    "                       (for load runs; values repeat, no summary of last values)\n"
    "  --cm A:P --fo A:P --cd A:P --bse A:P\n"
    "                       destinations (default 233.1.2.5:35610, 233.1.2.5:34330,\n"
    "                       233.1.2.5:34567, 127.0.0.1:5449)\n"
    "  --summary FILE       write what was sent: per (segment, code) counts, the\n"
    "                       packets a Bridge receives, the last value per token\n"
    "  --quiet              print only the final totals\n"
    "  --allow-host-network run outside scripts/netns-run (never used by scripts or tests)\n";

using fh::tools::Endpoint;

struct Args {
  bool seg[5] = {false, true, true, true, true};
  double rate = 1000;
  double seconds = -1;
  long long count = -1;
  int tokens = 50;
  std::uint32_t seed = 1;
  int plainPercent = 10;
  int fixedSize = 0;
  long long junk = 0;
  int pool = 0;
  Endpoint dest[5] = {{},
                      {fh::kNseDefaultGroup, fh::kNcmDefaultPort},
                      {fh::kNseDefaultGroup, fh::kNfoDefaultPort},
                      {fh::kNseDefaultGroup, fh::kNcdDefaultPort},
                      {fh::kBseDefaultAddress, fh::kBseDefaultPort}};
  std::string summaryFile;
  bool quiet = false;
  bool allowHost = false;
};

bool ParseArgs(int argc, char** argv, Args* a) {
  auto segments = [a](const fh::tools::OptionUse& use) {
    for (bool& s : a->seg) s = false;
    std::stringstream list(use.value);
    std::string item;
    while (std::getline(list, item, ',')) {
      if (item == "cm") a->seg[1] = true;
      else if (item == "fo") a->seg[2] = true;
      else if (item == "cd") a->seg[3] = true;
      else if (item == "bse") a->seg[4] = true;
      else return use.Refuse("unknown segment %s (cm, fo, cd, bse)", item.c_str());
    }
    return true;
  };
  using namespace fh::tools;
  const Option options[] = {
      {"--segments", true, segments},
      Number("--rate", &a->rate, 0, 1e7),
      Number("--seconds", &a->seconds, 0, 1e6),
      WholeNumber("--count", &a->count, 0, 1e12),
      WholeNumber("--tokens", &a->tokens, 1, 4000),
      WholeNumber("--seed", &a->seed, 0, 4294967295.0),
      WholeNumber("--plain-percent", &a->plainPercent, 0, 100),
      WholeNumber("--fixed-size", &a->fixedSize, 0, 512),
      WholeNumber("--junk", &a->junk, 0, 1e9),
      WholeNumber("--pool", &a->pool, 1, 1e6),
      EndpointOption("--cm", &a->dest[1]),
      EndpointOption("--fo", &a->dest[2]),
      EndpointOption("--cd", &a->dest[3]),
      EndpointOption("--bse", &a->dest[4]),
      Text("--summary", &a->summaryFile),
      Flag("--quiet", &a->quiet),
      Flag("--allow-host-network", &a->allowHost),
  };
  if (!ParseOptions("exchange-sim", kUsage, options, argc, argv)) return false;
  if (a->seconds < 0 && a->count < 0) a->seconds = 10;
  return true;
}

constexpr const char* kSegmentName[] = {"", "NSE-CM", "NSE-FO", "NSE-CD", "BSE"};

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, &args)) return 2;
  if (!fh::tools::NetworkAllowed("exchange-sim", args.allowHost)) return 3;
  fh::tools::StopOnSignals();

  const int fd = fh::tools::OpenSendSocket();
  if (fd < 0) return 1;
  sockaddr_in to[5];
  for (int s = 1; s <= 4; ++s) to[s] = args.dest[s].Sockaddr();

  std::vector<int> order;
  for (int s = 1; s <= 4; ++s)
    if (args.seg[s]) order.push_back(s);
  if (order.empty()) {
    std::fprintf(stderr, "exchange-sim: no segment chosen\n");
    return 2;
  }

  std::unique_ptr<fh::sim::NseSegmentFeed> feeds[4];
  std::unique_ptr<fh::sim::NseDatagramSource> sources[4];
  for (int s = 1; s <= 3; ++s) {
    feeds[s] = std::make_unique<fh::sim::NseSegmentFeed>(s, args.tokens, args.seed);
    sources[s] = std::make_unique<fh::sim::NseDatagramSource>(*feeds[s], args.plainPercent, args.fixedSize);
  }
  fh::sim::BseFeed bse(args.tokens, args.seed);
  fh::sim::bse::DatagramBuilder bseBuilder;
  fh::sim::Ledger ledger;
  long long failed = 0;
  long long junkSent = 0;

  auto sendTo = [&](int s, const std::uint8_t* data, std::size_t n) {
    return fh::tools::SendDatagram(fd, to[s], data, n, &failed);
  };

  // Malformed traffic first, paced like the rest.
  if (args.junk > 0) {
    std::mt19937 rng(args.seed ^ 0x5eedu);
    const std::int64_t start = fh::tools::NowNs();
    long long i = 0;
    for (long long k = 0; k < args.junk && !fh::tools::StopRequested(); ++k) {
      for (int s : order) {
        const auto bytes = s == 4 ? fh::sim::MakeBseJunk(bse, rng) : fh::sim::MakeNseJunk(*feeds[s], rng);
        if (args.rate > 0) fh::tools::SleepUntil(start + static_cast<std::int64_t>(static_cast<double>(i) * 1e9 / args.rate));
        ++i;
        if (sendTo(s, bytes.data(), bytes.size())) ++junkSent;
      }
    }
    if (!args.quiet) std::printf("exchange-sim: sent %lld malformed datagrams\n", junkSent);
  }

  // Pool mode: datagrams built up front and cycled.
  std::vector<std::vector<std::uint8_t>> pool[5];
  std::vector<int> poolMessages[5];
  if (args.pool > 0) {
    for (int s : order) {
      for (int k = 0; k < args.pool; ++k) {
        int messages = 0;
        if (s == 4) {
          bse.NextDatagram(&bseBuilder, nullptr);
          pool[s].emplace_back(bseBuilder.bytes().begin(), bseBuilder.bytes().end());
          messages = bseBuilder.blocks();
        } else {
          auto b = sources[s]->Next(nullptr, &messages);
          pool[s].emplace_back(b.begin(), b.end());
        }
        poolMessages[s].push_back(messages);
      }
    }
  }
  fh::sim::Ledger::PerSegment poolTotals[5];

  const std::int64_t start = fh::tools::NowNs();
  const std::int64_t end = args.seconds >= 0 ? start + static_cast<std::int64_t>(args.seconds * 1e9) : INT64_MAX;
  std::int64_t nextReport = start + 1000000000;
  long long sent = 0;
  long long perSegment = 0;
  while (!fh::tools::StopRequested()) {
    if (args.count >= 0 && perSegment >= args.count) break;
    if (fh::tools::NowNs() >= end) break;
    for (int s : order) {
      if (args.rate > 0) fh::tools::SleepUntil(start + static_cast<std::int64_t>(static_cast<double>(sent) * 1e9 / args.rate));
      if (fh::tools::StopRequested()) break;
      ++sent;
      if (args.pool > 0) {
        const auto& d = pool[s][static_cast<std::size_t>(perSegment % args.pool)];
        if (sendTo(s, d.data(), d.size())) {
          ++poolTotals[s].datagrams;
          poolTotals[s].bytes += static_cast<long long>(d.size());
          poolTotals[s].messages += poolMessages[s][static_cast<std::size_t>(perSegment % args.pool)];
        }
        continue;
      }
      if (s == 4) {
        bse.NextDatagram(&bseBuilder, &ledger);
        sendTo(s, bseBuilder.bytes().data(), bseBuilder.bytes().size());
      } else {
        const auto d = sources[s]->Next(&ledger, nullptr);
        sendTo(s, d.data(), d.size());
      }
    }
    ++perSegment;
    if (!args.quiet && fh::tools::NowNs() >= nextReport) {
      nextReport += 1000000000;
      std::printf("exchange-sim: %lld datagrams sent\n", sent);
      std::fflush(stdout);
    }
  }
  close(fd);

  const double seconds = static_cast<double>(fh::tools::NowNs() - start) / 1e9;
  const auto& totals = args.pool > 0 ? poolTotals : ledger.segments;
  long long datagrams = 0, messages = 0, bytes = 0;
  for (int s : order) {
    std::printf("exchange-sim: %-6s %lld datagrams, %lld messages, %lld bytes -> %s:%d\n", kSegmentName[s],
                totals[s].datagrams, totals[s].messages, totals[s].bytes, args.dest[s].address.c_str(),
                args.dest[s].port);
    datagrams += totals[s].datagrams;
    messages += totals[s].messages;
    bytes += totals[s].bytes;
  }
  std::printf("exchange-sim: total %lld datagrams, %lld messages, %lld bytes in %.3f s (%.0f datagrams/s); "
              "%lld malformed; %lld send failures\n",
              datagrams, messages, bytes, seconds, seconds > 0 ? static_cast<double>(datagrams) / seconds : 0.0,
              junkSent, failed);
  if (!args.summaryFile.empty()) {
    std::ofstream out(args.summaryFile, std::ios::trunc);
    out << ledger.Summary();
    out << "junk " << junkSent << "\n";
  }
  return failed > 0 ? 1 : 0;
}
