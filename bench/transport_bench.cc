// SendToBridges of 496-byte packets to a local Bridge that keeps reading, over
// loopback TCP (127.0.0.1, port chosen by the kernel): the cost to the calling
// receiver thread, and the pace of the whole stream.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "distribution/bridge_transport.h"
#include "distribution/forwarded_packet.h"
#include "feedstate/feed_context.h"

namespace {

struct LocalBridge {
  fh::SocketFd listener;
  fh::SocketFd client;  // the Bridge's end
  std::shared_ptr<fh::BridgeConnection> accepted;

  bool Open() {
    listener.Reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    if (::listen(listener.Fd(), 1) != 0) return false;
    ::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&a), &len);
    client.Reset(::socket(AF_INET, SOCK_STREAM, 0));
    if (::connect(client.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    const int fd = ::accept(listener.Fd(), nullptr, nullptr);
    if (fd < 0) return false;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    accepted = std::make_shared<fh::BridgeConnection>(fd);
    return true;
  }
};

// A feed context with TCP output on and a local Bridge that reads everything,
// counting the bytes it got.
struct Setup {
  fh::FeedHandlerOptions options;
  fh::LogList log;
  fh::CounterGrid grid;
  fh::SegmentFiles files;
  fh::FilePlaces places;
  fh::InstancePorts ports;
  fh::StderrMessageBoxes boxes;
  fh::StandardProgramExit exit;
  fh::FeedMetrics metrics;
  fh::FeedContext context{options, log, grid, files, places, ports, boxes, exit, metrics};
  LocalBridge bridge;
  std::atomic<std::int64_t> received{0};
  std::thread reader;

  bool Open() {
    options.sendTcp = 1;
    if (!bridge.Open()) return false;
    reader = std::thread([this] {
      std::vector<char> buf(1 << 20);
      for (;;) {
        const ssize_t n = ::recv(bridge.client.Fd(), buf.data(), buf.size(), 0);
        if (n <= 0) break;
        received += n;
      }
    });
    return true;
  }
  // Waits until the Bridge has read bytes in all.
  void CatchUp(std::int64_t bytes) const {
    while (received.load() < bytes) std::this_thread::yield();
  }
  ~Setup() {
    if (bridge.accepted) bridge.accepted->Shutdown();
    if (reader.joinable()) reader.join();
  }
};

std::array<std::uint8_t, 496> Packet() {
  std::array<std::uint8_t, 496> packet{};
  const std::uint16_t length = packet.size();
  std::memcpy(packet.data() + fh::forwarded::kPacketLength, &length, 2);
  return packet;
}

// What one SendToBridges costs the receiver thread that calls it. Every 2,048
// packets (about 1 MB) the clock stops until the Bridge has read everything,
// so that the Bridge is never far behind, as with a real feed's pace.
void BM_SendToBridgesTcp496(benchmark::State& state) {
  Setup s;
  if (!s.Open()) {
    state.SkipWithError("no loopback TCP connection");
    return;
  }
  fh::BridgeTransport transport(s.context);
  transport.AttachBridge(s.bridge.accepted);
  const auto packet = Packet();
  std::int64_t sent = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(transport.SendToBridges(1, packet.size(), packet.data(), 0));
    sent += packet.size();
    if (sent % (2048L * 496) == 0) {
      state.PauseTiming();
      s.CatchUp(sent);
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(sent);
  if (!transport.BridgeConnected()) state.SkipWithError("the Bridge was dropped");
}
BENCHMARK(BM_SendToBridgesTcp496)->Unit(benchmark::kNanosecond);

// The stream's pace: 2,048 packets sent and read by the Bridge per iteration.
void BM_BridgeStream2048x496(benchmark::State& state) {
  Setup s;
  if (!s.Open()) {
    state.SkipWithError("no loopback TCP connection");
    return;
  }
  fh::BridgeTransport transport(s.context);
  transport.AttachBridge(s.bridge.accepted);
  const auto packet = Packet();
  std::int64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < 2048; ++i) transport.SendToBridges(1, packet.size(), packet.data(), 0);
    sent += 2048 * static_cast<std::int64_t>(packet.size());
    s.CatchUp(sent);
  }
  state.SetBytesProcessed(sent);
  if (!transport.BridgeConnected()) state.SkipWithError("the Bridge was dropped");
}
BENCHMARK(BM_BridgeStream2048x496)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
