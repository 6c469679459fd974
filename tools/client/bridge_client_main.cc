// bridge-client: a stand-in for a downstream Bridge program. It connects to
// the feed handler's TCP port, subscribes instruments, reads the forwarded
// packets and listens to the BCAST DELTA broadcasts on ports 2007 and 2017.
// NSE packets are named by code and by form (classic, or today's generation,
// told by the packet's length).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "client/packet_stream.h"
#include "common/options.h"
#include "common/pacing.h"
#include "common/tool_net.h"
#include "feedstate/platform.h"

namespace {

constexpr char kUsage[] =
    "usage: bridge-client [options]\n"
    "Connects to a feed handler like a Bridge, subscribes instruments, prints the\n"
    "forwarded packets and BCAST DELTA lines it receives, then a summary. NSE\n"
    "packets are named with their form, told by their length: classic, or today's\n"
    "CM6 (capital market 6.x), FO9.43 or FO9.48 (unknown: no form has that length).\n"
    "  --connect A.B.C.D:PORT   feed handler's TCP port (default 127.0.0.1:30001)\n"
    "  --subscribe SEG,TOKEN    subscribe one instrument (repeatable), e.g. 1,2885\n"
    "  --requests TEXT          send TEXT as it stands (the \"seg,token|\" grammar)\n"
    "  --no-tcp                 do not connect; listen to the delta ports only\n"
    "  --no-delta               do not listen on ports 2007 and 2017\n"
    "  --count N                stop after N forwarded packets\n"
    "  --seconds S              stop after S seconds (default: until Ctrl-C)\n"
    "  --idle-seconds S         stop once nothing arrived for S seconds after the feed\n"
    "                           started (the first packet, or without a connection the\n"
    "                           first delta line)\n"
    "  --connect-timeout S      keep retrying the connection this long (default 10)\n"
    "  --connect-optional       when the connection fails, go on with the delta ports\n"
    "  --summary FILE           write the summary (packets per code and per form, last\n"
    "                           values, new instruments) to FILE\n"
    "  --record FILE            write the received TCP byte stream to FILE\n"
    "  --record-delta PREFIX    write each delta datagram to PREFIX.2007 or PREFIX.2017,\n"
    "                           its length in decimal and a newline before its bytes\n"
    "  --ready FILE             create FILE once connected and listening\n"
    "  --print-every N          print one packet and one delta line in N (default 1)\n"
    "  --latency FILE           tick-to-Bridge latency: receive time minus the stamp that\n"
    "                           exchange-sim --stamp wrote (TimeStamp1, header offset 28);\n"
    "                           prints count, p50, p99, p99.9 and max in microseconds and\n"
    "                           writes \"COUNT P50 P99 P99.9 MAX\" to FILE\n"
    "  --gaps                   print the largest gap between delta datagrams per port\n"
    "                           (kernel arrival times)\n"
    "  --pause-after S --pause-for P\n"
    "                           stop reading the connection P seconds long, S seconds\n"
    "                           after the first packet (the delta ports are still read)\n"
    "  --flood BYTES            send the requests over and over until BYTES went out,\n"
    "                           then go on as usual (--ready is created after the flood)\n"
    "  --quiet                  print only the summary\n"
    "  --allow-host-network     run outside scripts/netns-run (never used by scripts or tests)\n";

struct Args {
  fh::tools::Endpoint server{"127.0.0.1", 30001};
  std::string requests;
  bool tcp = true;
  bool delta = true;
  long long count = -1;
  double seconds = -1;
  double idleSeconds = -1;
  double connectTimeout = 10;
  bool connectOptional = false;
  std::string summaryFile, recordFile, recordDeltaPrefix, readyFile;
  bool quiet = false;
  long long printEvery = 1;
  bool allowHost = false;
  std::string latencyFile;
  bool gaps = false;
  double pauseAfter = -1, pauseFor = 0;
  long long flood = 0;
};

bool ParseArgs(int argc, char** argv, Args* a) {
  using namespace fh::tools;
  const Option options[] = {
      EndpointOption("--connect", &a->server),
      {"--subscribe", true, [a](const OptionUse& use) {
         a->requests += use.value;
         a->requests += '|';
         return true;
       }},
      {"--requests", true, [a](const OptionUse& use) {
         a->requests += use.value;
         return true;
       }},
      Flag("--no-tcp", &a->tcp, false),
      Flag("--connect-optional", &a->connectOptional),
      Flag("--no-delta", &a->delta, false),
      WholeNumber("--count", &a->count, 0),
      Number("--seconds", &a->seconds, 0),
      Number("--idle-seconds", &a->idleSeconds, 0),
      Number("--connect-timeout", &a->connectTimeout, 0),
      Text("--summary", &a->summaryFile),
      Text("--record", &a->recordFile),
      Text("--record-delta", &a->recordDeltaPrefix),
      Text("--ready", &a->readyFile),
      Integer("--print-every", &a->printEvery, 1),
      Text("--latency", &a->latencyFile),
      Flag("--gaps", &a->gaps),
      Number("--pause-after", &a->pauseAfter, 0),
      Number("--pause-for", &a->pauseFor, 0),
      Integer("--flood", &a->flood, 1),
      Flag("--quiet", &a->quiet),
      Flag("--allow-host-network", &a->allowHost),
  };
  if (!ParseOptions("bridge-client", kUsage, options, argc, argv)) return false;
  if (a->flood > 0 && a->requests.empty()) {
    std::fprintf(stderr, "bridge-client: --flood needs --requests or --subscribe\n");
    return false;
  }
  return true;
}

bool SendAll(int fd, const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// Sends the requests over and over until `total` bytes went out or a stop is
// requested; returns the bytes sent.
long long Flood(int fd, const std::string& requests, long long total) {
  // The stream is the requests repeated: a send that stops inside one resumes
  // at the same place within the pattern.
  constexpr long long kChunk = 64 << 10;
  std::string pattern;
  while (static_cast<long long>(pattern.size()) < kChunk + static_cast<long long>(requests.size())) pattern += requests;
  const auto period = static_cast<long long>(requests.size());
  long long sent = 0;
  while (sent < total && !fh::tools::StopRequested()) {
    const auto n = static_cast<std::size_t>(std::min(total - sent, kChunk));
    const ssize_t k = send(fd, pattern.data() + sent % period, n, MSG_NOSIGNAL);
    if (k <= 0) {
      if (k < 0 && errno == EINTR) continue;
      fh::PrintError("send");
      break;
    }
    sent += k;
  }
  return sent;
}

// Stamped packets' latencies, reported as percentiles.
struct LatencyProbe {
  std::vector<std::int64_t> ns;
  long long unstamped = 0;

  void Add(const std::uint8_t* packet, int length, std::int64_t receivedNs) {
    std::int64_t stamp = 0;
    if (length >= fh::forwarded::kHeaderSize) std::memcpy(&stamp, packet + fh::forwarded::kTimeStamp1, sizeof stamp);
    // Zero is an unstamped packet (BSE, compressed); anything not within a
    // minute before now was not written by this machine's monotonic clock.
    if (stamp <= 0 || receivedNs < stamp || receivedNs - stamp > 60'000'000'000) {
      ++unstamped;
      return;
    }
    ns.push_back(receivedNs - stamp);
  }

  // Microseconds at a quantile (nearest rank); sorts the samples.
  double Quantile(double q) {
    if (ns.empty()) return 0;
    std::sort(ns.begin(), ns.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(ns.size())));
    return static_cast<double>(ns[std::clamp<std::size_t>(rank, 1, ns.size()) - 1]) / 1e3;
  }
};

// Delta datagrams' arrival gaps, from the kernel's receive time stamps.
struct GapWatch {
  std::int64_t last = 0, largest = 0;
  void Add(std::int64_t arrivalNs) {
    if (last != 0) largest = std::max(largest, arrivalNs - last);
    last = arrivalNs;
  }
};

// Receives one datagram with its kernel arrival time (SO_TIMESTAMPNS, wall
// clock); *arrivalNs is 0 when the kernel gave none.
// NOLINTNEXTLINE(readability-non-const-parameter): the kernel writes the datagram there, through the iovec
ssize_t ReceiveStamped(int fd, char* data, std::size_t size, std::int64_t* arrivalNs) {
  iovec iov{data, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr h{};
  h.msg_iov = &iov;
  h.msg_iovlen = 1;
  h.msg_control = control;
  h.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &h, 0);
  *arrivalNs = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&h); n > 0 && c != nullptr; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
      *arrivalNs = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, &args)) return 2;
  if (!fh::tools::NetworkAllowed("bridge-client", args.allowHost)) return 3;

  fh::tools::StopOnSignals();

  std::vector<pollfd> fds;
  int deltaFd[2] = {-1, -1};
  const int deltaPort[2] = {2007, 2017};
  if (args.delta) {
    for (int k = 0; k < 2; ++k) {
      int granted = 0;
      deltaFd[k] = fh::tools::OpenReceiveSocket(deltaPort[k], 8 << 20, &granted);
      if (deltaFd[k] < 0) return 1;
      const int on = 1;
      if (args.gaps && setsockopt(deltaFd[k], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        fh::PrintError("setsockopt SO_TIMESTAMPNS");
        return 1;
      }
      if (!args.quiet) std::printf("bridge-client: listening on 0.0.0.0:%d (receive buffer %d bytes)\n", deltaPort[k], granted);
    }
  }
  int tcpFd = -1;
  if (args.tcp) {
    tcpFd = fh::tools::ConnectTcp(args.server, static_cast<int>(args.connectTimeout * 1000));
    if (tcpFd < 0 && !args.connectOptional) return 1;
  }
  if (tcpFd < 0 && args.tcp) {
    std::printf("bridge-client: no connection; listening to the delta ports only\n");
  } else if (tcpFd >= 0) {
    if (!args.quiet) std::printf("bridge-client: connected to %s:%d\n", args.server.address.c_str(), args.server.port);
    if (args.flood > 0) {
      const std::int64_t floodStart = fh::tools::NowNs();
      const long long flooded = Flood(tcpFd, args.requests, args.flood);
      std::printf("bridge-client: flooded %lld bytes of requests in %.3f s\n", flooded,
                  static_cast<double>(fh::tools::NowNs() - floodStart) / 1e9);
    } else if (!args.requests.empty()) {
      if (!SendAll(tcpFd, args.requests)) {
        fh::PrintError("send");
        return 1;
      }
      if (!args.quiet) std::printf("bridge-client: sent requests %s\n", args.requests.c_str());
    }
  }
  if (!args.readyFile.empty()) std::ofstream(args.readyFile) << "ready\n";
  std::fflush(stdout);

  std::FILE* record = nullptr;
  if (!args.recordFile.empty()) {
    record = std::fopen(args.recordFile.c_str(), "wb");
    if (record == nullptr) {
      fh::PrintError(args.recordFile.c_str());
      return 1;
    }
  }

  std::FILE* recordDelta[2] = {nullptr, nullptr};
  for (int k = 0; k < 2 && !args.recordDeltaPrefix.empty(); ++k) {
    const std::string name = args.recordDeltaPrefix + "." + std::to_string(deltaPort[k]);
    recordDelta[k] = std::fopen(name.c_str(), "wb");
    if (recordDelta[k] == nullptr) {
      fh::PrintError(name.c_str());
      return 1;
    }
  }

  fh::tools::ClientView view;
  fh::tools::PacketStream stream;
  const std::int64_t start = fh::tools::NowNs();
  std::int64_t lastArrival = start;
  std::vector<std::uint8_t> buffer(1 << 16);
  bool tcpOpen = tcpFd >= 0;
  LatencyProbe latency;
  GapWatch gaps[2];
  std::int64_t pauseFrom = -1;  // set by the first packet when a pause is asked for

  while (!fh::tools::StopRequested()) {
    const std::int64_t now = fh::tools::NowNs();
    if (args.seconds >= 0 && now - start >= static_cast<std::int64_t>(args.seconds * 1e9)) break;
    // Idle time counts once the feed has started: from the first packet on a
    // connection, else from the first delta line.
    const bool feedStarted = tcpFd >= 0 ? view.packets > 0 : view.deltaLines[0] + view.deltaLines[1] > 0;
    if (args.idleSeconds >= 0 && feedStarted && now - lastArrival >= static_cast<std::int64_t>(args.idleSeconds * 1e9))
      break;
    if (args.count >= 0 && view.packets >= args.count) break;

    fds.clear();
    // A paused Bridge leaves the connection unread: the feed handler's send
    // buffer fills while the delta ports are still watched.
    const bool paused =
        pauseFrom >= 0 && now >= pauseFrom && now < pauseFrom + static_cast<std::int64_t>(args.pauseFor * 1e9);
    if (tcpOpen && !paused) fds.push_back({tcpFd, POLLIN, 0});
    for (int k = 0; k < 2; ++k)
      if (deltaFd[k] >= 0) fds.push_back({deltaFd[k], POLLIN, 0});
    if (fds.empty()) break;
    const int ready = poll(fds.data(), fds.size(), paused ? 10 : 100);
    if (ready < 0) {
      if (errno == EINTR) continue;
      fh::PrintError("poll");
      break;
    }
    for (const auto& p : fds) {
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      if (p.fd == tcpFd) {
        const ssize_t n = recv(tcpFd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
          if (n < 0) fh::PrintError("recv");
          if (!args.quiet) std::printf("bridge-client: the feed handler closed the connection\n");
          tcpOpen = false;
          continue;
        }
        lastArrival = fh::tools::NowNs();
        const std::int64_t received = lastArrival;
        if (args.pauseAfter >= 0 && pauseFrom < 0) pauseFrom = received + static_cast<std::int64_t>(args.pauseAfter * 1e9);
        if (record != nullptr) std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), record);
        const bool ok = stream.Feed(buffer.data(), static_cast<std::size_t>(n), [&](const std::uint8_t* pkt, int len) {
          const auto info = fh::tools::DescribePacket(pkt, len);
          view.AddPacket(info);
          if (!args.latencyFile.empty()) latency.Add(pkt, len, received);
          if (!args.quiet && view.packets % args.printEvery == 1 % args.printEvery)
            std::printf("%s\n", fh::tools::FormatPacket(info).c_str());
        });
        if (!ok) {
          std::fprintf(stderr, "bridge-client: packet stream broken (a packet length below 46); closing\n");
          tcpOpen = false;
        }
      } else {
        const int k = p.fd == deltaFd[0] ? 0 : 1;
        char line[4097];
        std::int64_t arrival = 0;
        const ssize_t n = args.gaps ? ReceiveStamped(p.fd, line, sizeof line - 1, &arrival)
                                    : recv(p.fd, line, sizeof line - 1, 0);
        if (n <= 0) continue;
        if (args.gaps) gaps[k].Add(arrival != 0 ? arrival : fh::tools::WallNs());
        lastArrival = fh::tools::NowNs();
        const std::string_view text(line, static_cast<std::size_t>(n));
        if (recordDelta[k] != nullptr) std::fprintf(recordDelta[k], "%zd\n%.*s", n, static_cast<int>(n), line);
        const bool ok = view.AddDeltaLine(deltaPort[k], text);
        const long long lines = view.deltaLines[0] + view.deltaLines[1];
        if (!args.quiet && (!ok || lines % args.printEvery == 1 % args.printEvery))
          std::printf("delta %d %s%.*s\n", deltaPort[k], ok ? "" : "(malformed) ", static_cast<int>(n), line);
      }
    }
    if (!args.quiet) std::fflush(stdout);
  }

  if (record != nullptr) std::fclose(record);
  for (std::FILE* f : recordDelta)
    if (f != nullptr) std::fclose(f);
  if (tcpFd >= 0) close(tcpFd);
  for (int fd : deltaFd)
    if (fd >= 0) close(fd);

  const std::string summary = view.Summary();
  std::printf("bridge-client: packets %lld (%lld bytes), delta lines %lld on 2007 and %lld on 2017, %lld items, %lld malformed\n",
              view.packets, view.bytes, view.deltaLines[0], view.deltaLines[1], view.deltaItems, view.malformedLines);
  if (!args.quiet) {
    // A line a code, with its packets by form: "NSE CM 7201 market watch: 9
    // packets, 4248 bytes (classic 5, CM6 4)".
    for (const auto& [kind, c] : view.packetsByKind) {
      std::string forms;
      for (auto it = view.packetsByForm.lower_bound(kind + " "); it != view.packetsByForm.end() &&
                                                                  it->first.compare(0, kind.size() + 1, kind + " ") == 0;
           ++it) {
        forms += (forms.empty() ? " (" : ", ") + it->first.substr(kind.size() + 1) + " " +
                 std::to_string(it->second.packets);
      }
      std::printf("bridge-client:   %s: %lld packets, %lld bytes%s\n", fh::tools::KindName(kind).c_str(), c.packets,
                  c.bytes, forms.empty() ? "" : (forms + ")").c_str());
    }
  }
  if (!args.summaryFile.empty()) {
    std::ofstream out(args.summaryFile, std::ios::trunc);
    out << summary;
  }
  if (!args.latencyFile.empty()) {
    const double q[] = {latency.Quantile(0.5), latency.Quantile(0.99), latency.Quantile(0.999), latency.Quantile(1)};
    std::printf("bridge-client: latency of %zu stamped packets (%lld unstamped): p50 %.1f us, p99 %.1f us, "
                "p99.9 %.1f us, max %.1f us\n", latency.ns.size(), latency.unstamped, q[0], q[1], q[2], q[3]);
    std::FILE* out = std::fopen(args.latencyFile.c_str(), "w");
    if (out == nullptr) {
      fh::PrintError(args.latencyFile.c_str());
      return 1;
    }
    std::fprintf(out, "%zu %.1f %.1f %.1f %.1f\n", latency.ns.size(), q[0], q[1], q[2], q[3]);
    std::fclose(out);
  }
  if (args.gaps) {
    std::printf("bridge-client: largest gap between delta datagrams: %.3f ms on 2007, %.3f ms on 2017\n",
                static_cast<double>(gaps[0].largest) / 1e6, static_cast<double>(gaps[1].largest) / 1e6);
  }
  return 0;
}
