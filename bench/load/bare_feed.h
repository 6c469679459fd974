// What the load run's bare programs (floor, relay) share: the feed's sockets
// (the three NSE groups and the BSE port, 128 MiB receive buffers), one Bridge
// connection slot on TCP port 30001 (the newest accepted connection, as in
// the feed handler), and a main that runs one receiver thread per port until
// SIGINT, SIGTERM or --seconds.
//
// Thread safety: BridgeSlot::Send may be called from any receiver thread (one
// lock keeps packets whole on the stream); RunBareFeed from main only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "feedstate/feed_defaults.h"

namespace fh::load {

inline constexpr int kNsePorts[] = {kNcmDefaultPort, kNfoDefaultPort, kNcdDefaultPort};
inline constexpr const char* kGroup = kNseDefaultGroup;
inline constexpr int kBsePort = kBseDefaultPort;
inline constexpr int kBridgePort = 30001;

inline std::atomic<bool> gStop{false};
inline std::atomic<long long> gDatagrams{0}, gMessages{0};

// The newest Bridge connection; a failed send drops it.
class BridgeSlot {
 public:
  void Send(const std::uint8_t* packet, int length) {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0 && send(fd_, packet, static_cast<std::size_t>(length), MSG_NOSIGNAL) != length) {
      close(fd_);
      fd_ = -1;
    }
  }
  void Replace(int fd) {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  std::mutex mutex_;
  int fd_ = -1;
};
inline BridgeSlot gBridge;

// A UDP socket on the port, joined to the group when one is given (NSE), else
// bound to 127.0.0.1 (BSE); receives time out every 200 ms so stops are seen.
inline int Bound(int port, const char* group) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  int buffer = 128 << 20;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = group != nullptr ? htonl(INADDR_ANY) : inet_addr("127.0.0.1");
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    std::perror("bind");
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): at start, one thread
  }
  if (group != nullptr) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = inet_addr(group);
    m.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) std::perror("IP_ADD_MEMBERSHIP");
  }
  timeval tv{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

inline void OnStopSignal(int) { gStop = true; }

// Parses "[--seconds S]", refuses to run outside the private namespace, then
// runs receiver(port, isBse) on one thread per feed port while accepting
// Bridges on port 30001. Returns the exit code.
template <class Receiver>
int RunBareFeed(const char* name, int argc, char** argv, Receiver receiver) {
  double seconds = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S]  (inside scripts/netns-run only)\n", name);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  const char* netns = std::getenv("FH_IN_NETNS");  // NOLINT(concurrency-mt-unsafe): at start, one thread
  if (netns == nullptr || std::strcmp(netns, "1") != 0) {
    std::fprintf(stderr, "%s: run it through scripts/netns-run\n", name);
    return 3;
  }
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kBridgePort);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener, 5) != 0) {
    std::perror("listen 30001");
    return 1;
  }
  std::vector<std::thread> threads;
  for (int port : kNsePorts) threads.emplace_back(receiver, port, false);
  threads.emplace_back(receiver, kBsePort, true);
  std::printf("%s: listening; TCP on %d\n", name, kBridgePort);
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  while (!gStop) {
    if (seconds >= 0 && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds)) break;
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd >= 0) {
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        gBridge.Replace(fd);
      }
    }
  }
  gStop = true;
  for (auto& t : threads) t.join();
  std::printf("%s: %lld datagrams, %lld messages\n", name, gDatagrams.load(), gMessages.load());
  return 0;
}

}  // namespace fh::load
