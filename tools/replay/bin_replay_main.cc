// bin-replay: sends a raw BIN recording or a pcap capture back onto the
// network, so a feed handler can be fed a recorded session again.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/pacing.h"
#include "common/tool_net.h"
#include "feedstate/exg_seg.h"
#include "feedstate/feed_defaults.h"
#include "feedstate/platform.h"
#include "replay/replay_source.h"

namespace {

constexpr char kUsage[] =
    "usage: bin-replay [options] FILE\n"
    "Sends a recorded BIN file or a pcap capture (UDP payloads to their original\n"
    "group and port) onto the network. A BIN file's records carry no length: an\n"
    "NSE recording is cut into datagrams by walking each one's packets (any size\n"
    "up to 65507 bytes; zero padding after the last packet stays with it); with\n"
    "--record-size, or --bse, it is cut at a fixed size, the last record possibly\n"
    "shorter.\n"
    "  --format bin|pcap      default: pcap when the file starts like one, else bin\n"
    "  --record-size N        cut BIN records at N bytes (--bse: default 512)\n"
    "  --to A.B.C.D:PORT      send every datagram here instead\n"
    "  --cm A:P --fo A:P --cd A:P\n"
    "                         BIN destinations by net id 4, 2, 6 (default\n"
    "                         233.1.2.5:35610, 233.1.2.5:34330, 233.1.2.5:34567)\n"
    "  --bse                  BIN records are BSE datagrams: send them to 127.0.0.1:5449\n"
    "                         (or --to)\n"
    "  --rate N               BIN: datagrams per second (default 2000)\n"
    "  --speed X              pcap: X times the original pace (default 1)\n"
    "  --fast                 as fast as possible\n"
    "  --loop N               play the file N times (default 1)\n"
    "  --allow-host-network   run outside scripts/netns-run (never used by scripts or tests)\n"
    "Records of a BIN file whose first byte is no NSE net id are skipped unless\n"
    "--to or --bse says where they go.\n";

using fh::tools::Endpoint;

struct Args {
  std::string file;
  std::string format;
  int recordSize = 0;  // 0: walk the NSE datagrams
  std::optional<Endpoint> to;
  Endpoint cm{fh::kNseDefaultGroup, fh::kNcmDefaultPort}, fo{fh::kNseDefaultGroup, fh::kNfoDefaultPort},
      cd{fh::kNseDefaultGroup, fh::kNcdDefaultPort};
  bool bse = false;
  double rate = 2000;
  double speed = 1;
  bool fast = false;
  long long loops = 1;
  bool allowHost = false;
};

bool ParseArgs(int argc, char** argv, Args* a) {
  using namespace fh::tools;
  const Option options[] = {
      {"--format", true, [a](const OptionUse& use) {
         a->format = use.value;
         return a->format == "bin" || a->format == "pcap" || use.Refuse("--format is bin or pcap");
       }},
      WholeNumber("--record-size", &a->recordSize, 1),
      {"--to", true, [a](const OptionUse& use) {
         const auto e = ParseEndpoint(use.value);
         if (!e) return use.Refuse("bad endpoint %s", use.value);
         a->to = *e;
         return true;
       }},
      EndpointOption("--cm", &a->cm),
      EndpointOption("--fo", &a->fo),
      EndpointOption("--cd", &a->cd),
      Flag("--bse", &a->bse),
      Number("--rate", &a->rate, 0.001),
      Number("--speed", &a->speed, 0.000001),
      Flag("--fast", &a->fast),
      WholeNumber("--loop", &a->loops, 1),
      Flag("--allow-host-network", &a->allowHost),
  };
  auto file = [a](const char* arg) {
    if (!a->file.empty()) {
      std::fprintf(stderr, "bin-replay: one file at a time\n");
      return false;
    }
    a->file = arg;
    return true;
  };
  if (!ParseOptions("bin-replay", kUsage, options, argc, argv, file)) return false;
  if (a->file.empty()) {
    std::fputs(kUsage, stderr);
    return false;
  }
  if (a->bse && a->recordSize == 0) a->recordSize = 512;
  return true;
}

struct Totals {
  long long datagrams = 0, bytes = 0, skipped = 0, failed = 0;
};

void Send(int fd, const Endpoint& to, const std::uint8_t* data, std::size_t n, Totals* t) {
  if (!fh::tools::SendDatagram(fd, to.Sockaddr(), data, n, &t->failed)) return;
  ++t->datagrams;
  t->bytes += static_cast<long long>(n);
}

bool LooksLikePcap(const std::vector<std::uint8_t>& head) {
  if (head.size() < 4) return false;
  const std::uint32_t magic = static_cast<std::uint32_t>(head[0]) | (static_cast<std::uint32_t>(head[1]) << 8) |
                              (static_cast<std::uint32_t>(head[2]) << 16) | (static_cast<std::uint32_t>(head[3]) << 24);
  return magic == 0xa1b2c3d4 || magic == 0xd4c3b2a1 || magic == 0xa1b23c4d || magic == 0x4d3cb2a1 ||
         magic == 0x0a0d0d0a;  // pcap (micro, nano, either order) or pcapng
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, &args)) return 2;
  if (!fh::tools::NetworkAllowed("bin-replay", args.allowHost)) return 3;
  fh::tools::StopOnSignals();

  std::ifstream in(args.file, std::ios::binary);
  if (!in) {
    fh::PrintError(args.file.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const bool pcap = args.format.empty() ? LooksLikePcap(bytes) : args.format == "pcap";

  const int fd = fh::tools::OpenSendSocket();
  if (fd < 0) return 1;
  Totals totals;
  long long guessed = 0;
  const std::int64_t start = fh::tools::NowNs();

  for (long long loop = 0; loop < args.loops && !fh::tools::StopRequested(); ++loop) {
    if (pcap) {
      fh::tools::PcapReader reader;
      std::string error;
      if (!reader.Open(args.file, &error)) {
        std::fprintf(stderr, "bin-replay: %s: %s\n", args.file.c_str(), error.c_str());
        return 1;
      }
      std::int64_t firstCapture = -1;
      const std::int64_t loopStart = fh::tools::NowNs();
      while (!fh::tools::StopRequested()) {
        auto d = reader.Next();
        if (!d) break;
        if (firstCapture < 0) firstCapture = d->timeNs;
        if (!args.fast) fh::tools::SleepUntil(loopStart + static_cast<std::int64_t>(static_cast<double>(d->timeNs - firstCapture) / args.speed));
        Endpoint to;
        if (args.to) {
          to = *args.to;
        } else {
          in_addr a{htonl(d->dstAddress)};
          char text[INET_ADDRSTRLEN];
          inet_ntop(AF_INET, &a, text, sizeof text);
          to = Endpoint{text, d->dstPort};
        }
        Send(fd, to, d->payload.data(), d->payload.size(), &totals);
      }
      totals.skipped += reader.skipped();
    } else {
      const auto records = args.recordSize > 0 ? fh::tools::SplitBinRecords(bytes, args.recordSize)
                                               : fh::tools::SplitNseRecording(bytes, loop == 0 ? &guessed : nullptr);
      const std::int64_t loopStart = fh::tools::NowNs();
      long long index = 0;
      for (const auto& r : records) {
        if (fh::tools::StopRequested()) break;
        const Endpoint* to = nullptr;
        if (args.to) {
          to = &*args.to;
        } else if (args.bse) {
          static const Endpoint kBse{fh::kBseDefaultAddress, fh::kBseDefaultPort};
          to = &kBse;
        } else if (r[0] == fh::kNetIdCm) {
          to = &args.cm;
        } else if (r[0] == fh::kNetIdFo) {
          to = &args.fo;
        } else if (r[0] == fh::kNetIdCd) {
          to = &args.cd;
        }
        if (to == nullptr) {
          ++totals.skipped;
          continue;
        }
        if (!args.fast) fh::tools::SleepUntil(loopStart + static_cast<std::int64_t>(static_cast<double>(index) * 1e9 / args.rate));
        ++index;
        Send(fd, *to, r.data(), r.size(), &totals);
      }
    }
  }
  close(fd);
  const double seconds = static_cast<double>(fh::tools::NowNs() - start) / 1e9;
  std::printf("bin-replay: sent %lld datagrams (%lld bytes) in %.3f s from %s (%s); skipped %lld, failed %lld\n",
              totals.datagrams, totals.bytes, seconds, args.file.c_str(), pcap ? "pcap" : "bin", totals.skipped,
              totals.failed);
  if (guessed > 0) {
    std::printf("bin-replay: %lld records did not follow the NSE datagram structure; their ends are guesses\n",
                guessed);
  }
  return totals.failed > 0 ? 1 : 0;
}
