// The floor for the load run: a program that takes the same datagrams as the
// feed handler (three NSE groups, the BSE port) and makes the same system calls
// per message (one TCP send of a packet's length to the connected Bridge, the
// delta broadcasts on ports 2007 and 2017), without decompressing or decoding
// anything. The feed handler's sustained rate is measured against it.
//
//   floor [--seconds S]     (run it through scripts/netns-run only)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bse/bse_layouts.h"
#include "distribution/forwarded_packet.h"
#include "feedstate/feed_defaults.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace {

std::atomic<bool> gStop{false};
void OnSignal(int) { gStop = true; }

constexpr int kNsePorts[] = {fh::kNcmDefaultPort, fh::kNfoDefaultPort, fh::kNcdDefaultPort};
constexpr const char* kGroup = fh::kNseDefaultGroup;
constexpr int kBsePort = fh::kBseDefaultPort;
constexpr int kBridgePort = 30001;
constexpr int kPacketLength = 476;  // a typical forwarded packet
constexpr char kDeltaLine[] = ",38665|1234500,38670|99500";

std::mutex gTcpMutex;
int gBridge = -1;
std::atomic<long long> gDatagrams{0}, gMessages{0};

int Bound(int port, const char* group) {
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
    perror("bind");
    std::exit(1);
  }
  if (group != nullptr) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = inet_addr(group);
    m.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) perror("IP_ADD_MEMBERSHIP");
  }
  timeval tv{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// What the feed handler does per message, minus the decoding.
void PerMessage(int delta, const sockaddr_in& to2007, const sockaddr_in& to2017, std::uint8_t* packet,
                int length) {
  // A well-formed packet header, so the Bridge keeps reading the stream.
  fh::Store16(packet + fh::forwarded::kPacketLength, static_cast<std::int16_t>(length));
  {
    std::lock_guard lock(gTcpMutex);
    if (gBridge >= 0 && send(gBridge, packet, static_cast<std::size_t>(length), MSG_NOSIGNAL) != length) {
      close(gBridge);
      gBridge = -1;
    }
  }
  sendto(delta, kDeltaLine, sizeof kDeltaLine - 1, 0, reinterpret_cast<const sockaddr*>(&to2007), sizeof to2007);
  sendto(delta, kDeltaLine, sizeof kDeltaLine - 1, 0, reinterpret_cast<const sockaddr*>(&to2017), sizeof to2017);
  gMessages.fetch_add(1, std::memory_order_relaxed);
}

void Receiver(int port, bool bse) {
  const int fd = Bound(port, bse ? nullptr : kGroup);
  const int delta = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  setsockopt(delta, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in to2007{}, to2017{};
  to2007.sin_family = to2017.sin_family = AF_INET;
  to2007.sin_addr.s_addr = to2017.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  to2007.sin_port = htons(2007);
  to2017.sin_port = htons(2017);
  std::uint8_t buffer[fh::bse::kMaxDatagram];
  std::uint8_t packet[fh::bse::kMaxDatagram + 64] = {};
  while (!gStop) {
    const ssize_t n = recv(fd, buffer, bse ? sizeof buffer : fh::nse::datagram::kMaxSize, 0);
    if (n <= 0) continue;
    gDatagrams.fetch_add(1, std::memory_order_relaxed);
    if (bse) {
      // One packet per block, its length from the block header.
      for (ssize_t p = 0; p + fh::bse::block::kHeaderSize <= n;) {
        const std::int32_t length = fh::Load32(buffer + p + fh::bse::block::kLength);
        if (length < 1 || length > n - p - fh::bse::block::kHeaderSize) break;
        PerMessage(delta, to2007, to2017, packet, length + fh::forwarded::kHeaderSize);
        p += fh::bse::block::kHeaderSize + length;
      }
    } else if (n >= fh::nse::datagram::kPacketsAt) {
      const int packets = fh::LoadBe16(buffer + fh::nse::datagram::kNoOfPackets);
      for (int i = 0; i < packets && i < 64; ++i) PerMessage(delta, to2007, to2017, packet, kPacketLength);
    }
  }
  close(fd);
  close(delta);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: floor [--seconds S]  (inside scripts/netns-run only)\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  const char* netns = std::getenv("FH_IN_NETNS");
  if (netns == nullptr || std::strcmp(netns, "1") != 0) {
    std::fprintf(stderr, "floor: run it through scripts/netns-run\n");
    return 3;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kBridgePort);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener, 5) != 0) {
    perror("listen 30001");
    return 1;
  }
  std::vector<std::thread> threads;
  for (int port : kNsePorts) threads.emplace_back(Receiver, port, false);
  threads.emplace_back(Receiver, kBsePort, true);
  std::printf("floor: listening; TCP on %d\n", kBridgePort);
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  while (!gStop) {
    if (seconds >= 0 && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds)) break;
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd >= 0) {
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard lock(gTcpMutex);
        if (gBridge >= 0) close(gBridge);
        gBridge = fd;
      }
    }
  }
  gStop = true;
  for (auto& t : threads) t.join();
  std::printf("floor: %lld datagrams, %lld messages\n", gDatagrams.load(), gMessages.load());
  return 0;
}
