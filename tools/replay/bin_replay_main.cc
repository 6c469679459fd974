// bin-replay: sends a raw BIN recording or a pcap capture back onto the
// network, so a feed handler can be fed a recorded session again.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/tool_net.h"
#include "feedstate/exg_seg.h"
#include "feedstate/feed_defaults.h"
#include "feedstate/platform.h"
#include "replay/replay_source.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

constexpr char kUsage[] =
    "usage: bin-replay [options] FILE\n"
    "Sends a recorded BIN file (datagrams cut at --record-size bytes, the last\n"
    "record possibly shorter) or a pcap capture (UDP payloads to their original\n"
    "group and port) onto the network.\n"
    "  --format bin|pcap      default: pcap when the file starts like one, else bin\n"
    "  --record-size N        BIN record size (default 512)\n"
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
  int recordSize = 512;
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
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* v = nullptr;
    auto value = [&]() {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "bin-replay: %s needs a value\n", arg.c_str());
        return false;
      }
      v = argv[++i];
      return true;
    };
    auto endpoint = [&](Endpoint* out) {
      if (!value()) return false;
      auto e = fh::tools::ParseEndpoint(v);
      if (!e) {
        std::fprintf(stderr, "bin-replay: bad endpoint %s\n", v);
        return false;
      }
      *out = *e;
      return true;
    };
    auto number = [&](double* out, double min) {
      if (!value()) return false;
      auto d = fh::tools::ParseDouble(v);
      if (!d || *d < min) {
        std::fprintf(stderr, "bin-replay: bad number for %s: %s\n", arg.c_str(), v);
        return false;
      }
      *out = *d;
      return true;
    };
    double d = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--format") {
      if (!value()) return false;
      a->format = v;
      if (a->format != "bin" && a->format != "pcap") {
        std::fprintf(stderr, "bin-replay: --format is bin or pcap\n");
        return false;
      }
    } else if (arg == "--record-size") {
      if (!number(&d, 1)) return false;
      a->recordSize = static_cast<int>(d);
    } else if (arg == "--to") {
      Endpoint e;
      if (!endpoint(&e)) return false;
      a->to = e;
    } else if (arg == "--cm") {
      if (!endpoint(&a->cm)) return false;
    } else if (arg == "--fo") {
      if (!endpoint(&a->fo)) return false;
    } else if (arg == "--cd") {
      if (!endpoint(&a->cd)) return false;
    } else if (arg == "--bse") {
      a->bse = true;
    } else if (arg == "--rate") {
      if (!number(&a->rate, 0.001)) return false;
    } else if (arg == "--speed") {
      if (!number(&a->speed, 0.000001)) return false;
    } else if (arg == "--fast") {
      a->fast = true;
    } else if (arg == "--loop") {
      if (!number(&d, 1)) return false;
      a->loops = static_cast<long long>(d);
    } else if (arg == "--allow-host-network") {
      a->allowHost = true;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "bin-replay: unknown option %s (see --help)\n", arg.c_str());
      return false;
    } else if (a->file.empty()) {
      a->file = arg;
    } else {
      std::fprintf(stderr, "bin-replay: one file at a time\n");
      return false;
    }
  }
  if (a->file.empty()) {
    std::fputs(kUsage, stderr);
    return false;
  }
  return true;
}

void SleepUntil(std::int64_t monotonicNs) {
  if (fh::tools::NowNs() >= monotonicNs) return;  // behind schedule: no system call
  timespec ts{static_cast<time_t>(monotonicNs / 1000000000), static_cast<long>(monotonicNs % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !gStop) {
  }
}

struct Totals {
  long long datagrams = 0, bytes = 0, skipped = 0, failed = 0;
};

void Send(int fd, const Endpoint& to, const std::uint8_t* data, std::size_t n, Totals* t) {
  const sockaddr_in sa = to.Sockaddr();
  const ssize_t sent = sendto(fd, data, n, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (sent != static_cast<ssize_t>(n)) {
    if (t->failed++ == 0) fh::PrintError("sendto");
    return;
  }
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
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

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
  const std::int64_t start = fh::tools::NowNs();

  for (long long loop = 0; loop < args.loops && !gStop; ++loop) {
    if (pcap) {
      fh::tools::PcapReader reader;
      std::string error;
      if (!reader.Open(args.file, &error)) {
        std::fprintf(stderr, "bin-replay: %s: %s\n", args.file.c_str(), error.c_str());
        return 1;
      }
      std::int64_t firstCapture = -1;
      const std::int64_t loopStart = fh::tools::NowNs();
      while (!gStop) {
        auto d = reader.Next();
        if (!d) break;
        if (firstCapture < 0) firstCapture = d->timeNs;
        if (!args.fast) SleepUntil(loopStart + static_cast<std::int64_t>(static_cast<double>(d->timeNs - firstCapture) / args.speed));
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
      const auto records = fh::tools::SplitBinRecords(bytes, args.recordSize);
      const std::int64_t loopStart = fh::tools::NowNs();
      long long index = 0;
      for (const auto& r : records) {
        if (gStop) break;
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
        if (!args.fast) SleepUntil(loopStart + static_cast<std::int64_t>(static_cast<double>(index) * 1e9 / args.rate));
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
  return totals.failed > 0 ? 1 : 0;
}
