// One SendToBridges of a 496-byte packet to a local Bridge that keeps reading,
// over loopback TCP (127.0.0.1, port chosen by the kernel).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

void BM_SendToBridgesTcp496(benchmark::State& state) {
  fh::FeedHandlerOptions options;
  fh::LogList log;
  fh::CounterGrid grid;
  fh::SegmentFiles files;
  fh::FilePlaces places;
  fh::InstancePorts ports;
  fh::StderrMessageBoxes boxes;
  fh::StandardProgramExit exit;
  fh::FeedContext context{options, log, grid, files, places, ports, boxes, exit};
  options.sendTcp = 1;

  LocalBridge bridge;
  if (!bridge.Open()) {
    state.SkipWithError("no loopback TCP connection");
    return;
  }
  fh::BridgeTransport transport(context);
  transport.AttachBridge(bridge.accepted);

  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::vector<char> buf(1 << 20);
    while (::recv(bridge.client.Fd(), buf.data(), buf.size(), 0) > 0) {
    }
    done = true;
  });

  std::uint8_t packet[496] = {};
  const std::uint16_t length = sizeof packet;
  std::memcpy(packet + fh::forwarded::kPacketLength, &length, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(transport.SendToBridges(1, sizeof packet, packet));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(sizeof packet));
  if (!transport.BridgeConnected()) state.SkipWithError("the Bridge was dropped");
  bridge.accepted->Shutdown();
  reader.join();
}
BENCHMARK(BM_SendToBridgesTcp496)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
