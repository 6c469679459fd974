// exchange-sim: a simulated NSE broadcast (capital market, F&O, currency
// derivatives) and BSE feed, sent to the feed handler's default groups and
// ports or to those given.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
#include "sim/masters_files.h"
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
    "  --wire classic|today|mixed\n"
    "                       the NSE wire's generation (default classic): today sends\n"
    "                       capital market 6.x (7201 of 466 bytes, 7208 of 566, 18703,\n"
    "                       18720, tokens above 65535) and F&O 9.48 (7201 of 498 bytes,\n"
    "                       17202, 17208, 17211, 17130); mixed interleaves both, F&O\n"
    "                       17201 among them, and trims one of today's record lists in\n"
    "                       four to its records; currency derivatives stay classic\n"
    "  --plain-percent P    share of packets sent uncompressed (default 10); a packet too\n"
    "                       long to travel plain within --max-datagram is compressed\n"
    "  --max-datagram N     largest NSE datagram, 512 to 65507 bytes (default 512, as the\n"
    "                       exchange sends); above 512, packets of today's large messages\n"
    "                       may travel plain and datagrams carry proportionally more packets\n"
    "  --fixed-size N       pad every NSE datagram to N bytes, at most --max-datagram\n"
    "                       (512 makes a Write BIN recording cut back into datagrams\n"
    "                       at a fixed size)\n"
    "  --junk N             first send N malformed datagrams per segment\n"
    "  --pool N             build N datagrams per segment up front and cycle them\n"
    "                       (for load runs; values repeat, no summary of last values)\n"
    "  --batch N            with --pool: hand the kernel up to N due datagrams per\n"
    "                       sendmmsg call (the pace still decides when each is due)\n"
    "  --stamp              with --pool: write the send time (CLOCK_MONOTONIC ns, host\n"
    "                       order) into TimeStamp1 of every uncompressed NSE packet\n"
    "                       just before sending; bridge-client --latency reads it\n"
    "  --cm A:P --fo A:P --cd A:P --bse A:P\n"
    "                       destinations (default 233.1.2.5:35610, 233.1.2.5:34330,\n"
    "                       233.1.2.5:34567, 127.0.0.1:5449)\n"
    "  --masters DIR        write security.txt and contract.txt for the capital-market\n"
    "                       and F&O instruments sent into DIR (the feed handler's\n"
    "                       --system-drive) before sending; --count 0 sends nothing\n"
    "  --summary FILE       write what was sent: per (segment, code) counts, the\n"
    "                       packets a Bridge receives, the last value per token, the\n"
    "                       instruments an update announced before any value\n"
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
  fh::sim::Wire wire = fh::sim::Wire::kClassic;
  int maxDatagram = fh::sim::kExchangeDatagramSize;
  int fixedSize = 0;
  long long junk = 0;
  int pool = 0;
  Endpoint dest[5] = {{},
                      {fh::kNseDefaultGroup, fh::kNcmDefaultPort},
                      {fh::kNseDefaultGroup, fh::kNfoDefaultPort},
                      {fh::kNseDefaultGroup, fh::kNcdDefaultPort},
                      {fh::kBseDefaultAddress, fh::kBseDefaultPort}};
  int batch = 0;
  bool stamp = false;
  std::string summaryFile;
  std::string mastersDir;
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
      {"--wire", true, [a](const OptionUse& use) {
         const auto wire = fh::sim::ParseWire(use.value);
         if (!wire) return use.Refuse("--wire is classic, today or mixed");
         a->wire = *wire;
         return true;
       }},
      WholeNumber("--max-datagram", &a->maxDatagram, fh::sim::kExchangeDatagramSize, fh::sim::kMaxUdpPayload),
      WholeNumber("--fixed-size", &a->fixedSize, 0, fh::sim::kMaxUdpPayload),
      WholeNumber("--junk", &a->junk, 0, 1e9),
      WholeNumber("--pool", &a->pool, 1, 1e6),
      WholeNumber("--batch", &a->batch, 1, 1024),
      Flag("--stamp", &a->stamp),
      EndpointOption("--cm", &a->dest[1]),
      EndpointOption("--fo", &a->dest[2]),
      EndpointOption("--cd", &a->dest[3]),
      EndpointOption("--bse", &a->dest[4]),
      Text("--summary", &a->summaryFile),
      Text("--masters", &a->mastersDir),
      Flag("--quiet", &a->quiet),
      Flag("--allow-host-network", &a->allowHost),
  };
  if (!ParseOptions("exchange-sim", kUsage, options, argc, argv)) return false;
  if (a->seconds < 0 && a->count < 0) a->seconds = 10;
  if (a->fixedSize > a->maxDatagram) {
    std::fprintf(stderr, "exchange-sim: --fixed-size %d is above --max-datagram %d\n", a->fixedSize, a->maxDatagram);
    return false;
  }
  if ((a->batch > 0 || a->stamp) && a->pool == 0) {
    std::fprintf(stderr, "exchange-sim: --batch and --stamp need --pool\n");
    return false;
  }
  return true;
}

constexpr const char* kSegmentName[] = {"", "NSE-CM", "NSE-FO", "NSE-CD", "BSE"};

// Hands n prepared datagrams to the kernel in one call; returns how many left.
// The rest count in *failed, and the first failure is printed.
int SendBatch(int fd, mmsghdr* msgs, int n, long long* failed) {
  const int done = std::max(sendmmsg(fd, msgs, static_cast<unsigned>(n), 0), 0);
  if (done < n && (*failed += n - done) == n - done) fh::PrintError("sendmmsg");
  return done;
}

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
    feeds[s] = std::make_unique<fh::sim::NseSegmentFeed>(s, args.tokens, args.seed, args.wire);
    sources[s] = std::make_unique<fh::sim::NseDatagramSource>(*feeds[s], args.plainPercent, args.fixedSize,
                                                              args.maxDatagram);
  }
  if (std::string error; !args.mastersDir.empty() &&
                         !fh::sim::WriteMasters(args.mastersDir, feeds[1]->universe(), feeds[2]->universe(), &error)) {
    std::fprintf(stderr, "exchange-sim: --masters %s: %s\n", args.mastersDir.c_str(), error.c_str());
    return 2;
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
  std::vector<std::vector<int>> poolStamps[5];  // TimeStamp1 offsets per datagram
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
        poolStamps[s].push_back(s == 4 || !args.stamp ? std::vector<int>{} : fh::sim::PlainStampOffsets(pool[s].back()));
      }
    }
  }
  fh::sim::Ledger::PerSegment poolTotals[5];

  const std::int64_t start = fh::tools::NowNs();
  const std::int64_t end = args.seconds >= 0 ? start + static_cast<std::int64_t>(args.seconds * 1e9) : INT64_MAX;
  std::int64_t nextReport = start + 1000000000;
  long long sent = 0;
  long long perSegment = 0;

  // Batched pool mode: whatever the pace says is due goes out in one sendmmsg
  // call (at most --batch datagrams), segments taken in turn as below, so the
  // sender's system calls stay few at high rates; at low rates a batch is one
  // datagram and adds no delay. Stamps are written just before the call.
  const bool batched = args.batch > 0 || args.stamp;
  const long long batch = std::max(args.batch, 1);
  const long long perRound = static_cast<long long>(order.size());
  std::vector<mmsghdr> msgs(static_cast<std::size_t>(batch));
  std::vector<iovec> iovs(static_cast<std::size_t>(batch));
  while (batched && !fh::tools::StopRequested()) {
    const std::int64_t now = fh::tools::NowNs();
    if (now >= end) break;
    const long long left = args.count >= 0 ? args.count * perRound - sent : LLONG_MAX;
    if (left <= 0) break;
    const long long due =
        args.rate > 0 ? static_cast<long long>(static_cast<double>(now - start) * args.rate / 1e9) + 1 - sent : batch;
    if (due <= 0) {
      fh::tools::SleepUntil(start + static_cast<std::int64_t>(static_cast<double>(sent) * 1e9 / args.rate));
      continue;
    }
    const int n = static_cast<int>(std::min({due, batch, left}));
    const std::int64_t stamp = fh::tools::NowNs();
    for (int i = 0; i < n; ++i) {
      const long long k = sent + i;
      const int s = order[static_cast<std::size_t>(k % perRound)];
      const auto slot = static_cast<std::size_t>(k / perRound % args.pool);
      auto& d = pool[s][slot];
      for (int at : poolStamps[s][slot]) std::memcpy(d.data() + at, &stamp, sizeof stamp);
      iovs[static_cast<std::size_t>(i)] = {d.data(), d.size()};
      msgs[static_cast<std::size_t>(i)] = {};
      msghdr& h = msgs[static_cast<std::size_t>(i)].msg_hdr;
      h.msg_name = &to[s];
      h.msg_namelen = sizeof to[s];
      h.msg_iov = &iovs[static_cast<std::size_t>(i)];
      h.msg_iovlen = 1;
    }
    const int done = SendBatch(fd, msgs.data(), n, &failed);
    for (int i = 0; i < done; ++i) {
      const long long k = sent + i;
      const int s = order[static_cast<std::size_t>(k % perRound)];
      const auto slot = static_cast<std::size_t>(k / perRound % args.pool);
      ++poolTotals[s].datagrams;
      poolTotals[s].bytes += static_cast<long long>(pool[s][slot].size());
      poolTotals[s].messages += poolMessages[s][slot];
    }
    sent += n;
    if (!args.quiet && fh::tools::NowNs() >= nextReport) {
      nextReport += 1000000000;
      std::printf("exchange-sim: %lld datagrams sent\n", sent);
      std::fflush(stdout);
    }
  }
  while (!batched && !fh::tools::StopRequested()) {
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
