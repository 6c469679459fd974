#include "common/tool_net.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "feedstate/platform.h"

namespace fh::tools {

bool NetworkAllowed(const char* tool, bool allowHostNetwork) {
  const char* inNetns = std::getenv("FH_IN_NETNS");  // NOLINT(concurrency-mt-unsafe): at start, one thread
  if (allowHostNetwork || (inNetns != nullptr && std::strcmp(inNetns, "1") == 0)) return true;
  std::fprintf(stderr,
               "%s: refusing to run outside the private network namespace: it sends multicast and "
               "broadcast and binds the feed's ports.\n"
               "Run it as: scripts/netns-run %s ...  (or pass --allow-host-network on purpose)\n",
               tool, tool);
  return false;
}

sockaddr_in Endpoint::Sockaddr() const {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  return sa;
}

std::optional<long long> ParseInt(std::string_view text) {
  long long v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || p != end || text.empty()) return std::nullopt;
  return v;
}

std::optional<double> ParseDouble(std::string_view text) {
  double v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || p != end || text.empty()) return std::nullopt;
  return v;
}

std::optional<Endpoint> ParseEndpoint(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  Endpoint e;
  e.address = std::string(text.substr(0, colon));
  in_addr probe{};
  if (inet_pton(AF_INET, e.address.c_str(), &probe) != 1) return std::nullopt;
  const auto port = ParseInt(text.substr(colon + 1));
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  e.port = static_cast<int>(*port);
  return e;
}

int OpenSendSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    PrintError("socket");
    return -1;
  }
  const unsigned char ttl = 1;
  const unsigned char loop = 1;
  const int on = 1;
  int sndbuf = 8 << 20;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) != 0) {
    PrintError("setsockopt");
    close(fd);
    return -1;
  }
  return fd;
}

bool SendDatagram(int fd, const sockaddr_in& to, const std::uint8_t* data, std::size_t n, long long* failed) {
  const ssize_t sent = sendto(fd, data, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent == static_cast<ssize_t>(n)) return true;
  if ((*failed)++ == 0) PrintError("sendto");
  return false;
}

int OpenReceiveSocket(int port, int wantRcvbuf, int* granted) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    PrintError("socket");
    return -1;
  }
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wantRcvbuf, sizeof wantRcvbuf) != 0) {
    PrintError("setsockopt");
    close(fd);
    return -1;
  }
  if (granted != nullptr) {
    socklen_t len = sizeof *granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, granted, &len);
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    char what[64];
    std::snprintf(what, sizeof what, "bind 0.0.0.0:%d", port);
    PrintError(what);
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectTcp(const Endpoint& to, int timeoutMs) {
  const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  const sockaddr_in sa = to.Sockaddr();
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
      PrintError("socket");
      return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return fd;
    }
    const int err = errno;
    close(fd);
    if (NowNs() >= deadline) {
      errno = err;
      char what[80];
      std::snprintf(what, sizeof what, "connect %s:%d", to.address.c_str(), to.port);
      PrintError(what);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

namespace {
std::int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
}  // namespace

std::int64_t NowNs() { return ClockNs(CLOCK_MONOTONIC); }
std::int64_t WallNs() { return ClockNs(CLOCK_REALTIME); }

}  // namespace fh::tools
