// bridge-client: a stand-in for a downstream Bridge program. It connects to
// the feed handler's TCP port, subscribes instruments, reads the forwarded
// packets and listens to the BCAST DELTA broadcasts on ports 2007 and 2017.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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
    "forwarded packets and BCAST DELTA lines it receives, then a summary.\n"
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
    "  --summary FILE           write the summary (packets per kind, last values) to FILE\n"
    "  --record FILE            write the received TCP byte stream to FILE\n"
    "  --ready FILE             create FILE once connected and listening\n"
    "  --print-every N          print one packet and one delta line in N (default 1)\n"
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
  std::string summaryFile, recordFile, readyFile;
  bool quiet = false;
  long long printEvery = 1;
  bool allowHost = false;
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
      Text("--ready", &a->readyFile),
      Integer("--print-every", &a->printEvery, 1),
      Flag("--quiet", &a->quiet),
      Flag("--allow-host-network", &a->allowHost),
  };
  return ParseOptions("bridge-client", kUsage, options, argc, argv);
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
    if (!args.requests.empty()) {
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

  fh::tools::ClientView view;
  fh::tools::PacketStream stream;
  const std::int64_t start = fh::tools::NowNs();
  std::int64_t lastArrival = start;
  std::vector<std::uint8_t> buffer(1 << 16);
  bool tcpOpen = tcpFd >= 0;

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
    if (tcpOpen) fds.push_back({tcpFd, POLLIN, 0});
    for (int k = 0; k < 2; ++k)
      if (deltaFd[k] >= 0) fds.push_back({deltaFd[k], POLLIN, 0});
    if (fds.empty()) break;
    const int ready = poll(fds.data(), fds.size(), 100);
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
        if (record != nullptr) std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), record);
        const bool ok = stream.Feed(buffer.data(), static_cast<std::size_t>(n), [&](const std::uint8_t* pkt, int len) {
          const auto info = fh::tools::DescribePacket(pkt, len);
          view.AddPacket(info);
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
        const ssize_t n = recv(p.fd, line, sizeof line - 1, 0);
        if (n <= 0) continue;
        lastArrival = fh::tools::NowNs();
        const std::string_view text(line, static_cast<std::size_t>(n));
        const bool ok = view.AddDeltaLine(deltaPort[k], text);
        const long long lines = view.deltaLines[0] + view.deltaLines[1];
        if (!args.quiet && (!ok || lines % args.printEvery == 1 % args.printEvery))
          std::printf("delta %d %s%.*s\n", deltaPort[k], ok ? "" : "(malformed) ", static_cast<int>(n), line);
      }
    }
    if (!args.quiet) std::fflush(stdout);
  }

  if (record != nullptr) std::fclose(record);
  if (tcpFd >= 0) close(tcpFd);
  for (int fd : deltaFd)
    if (fd >= 0) close(fd);

  const std::string summary = view.Summary();
  std::printf("bridge-client: packets %lld (%lld bytes), delta lines %lld on 2007 and %lld on 2017, %lld items, %lld malformed\n",
              view.packets, view.bytes, view.deltaLines[0], view.deltaLines[1], view.deltaItems, view.malformedLines);
  if (!args.quiet) {
    for (const auto& [kind, c] : view.packetsByKind)
      std::printf("bridge-client:   exchange/segment/code %s: %lld packets, %lld bytes\n", kind.c_str(), c.packets, c.bytes);
  }
  if (!args.summaryFile.empty()) {
    std::ofstream out(args.summaryFile, std::ios::trunc);
    out << summary;
  }
  return 0;
}
