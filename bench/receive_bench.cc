// What the receive stamps and drop counts cost a receiver: DatagramBatch
// with the NSE receiver's slots (any UDP datagram whole) taking queued
// 512-byte datagrams off a socket, with the kernel attaching SO_TIMESTAMPNS
// (and SO_RXQ_OVFL once it has drops) to each one and the batch reading them
// back, against the same socket asked for nothing.
//
// The socket is a local AF_UNIX datagram pair, not the feed's UDP: no network
// is touched, and the kernel's stamping and control-message path is the same
// socket-layer code. Each iteration refills the queue outside the timing, then
// times taking it off in batches of 64 (and one at a time, the limit-1 path).
// Figures are CPU ns per datagram.
//
//   build/bench/receive_bench
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "net/datagram_batch.h"

namespace {

constexpr int kDatagram = 512;
constexpr int kSlots = 64;
constexpr int kQueued = 256;  // fits the pair's default buffer

class Pair {
 public:
  explicit Pair(bool stamps) {
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds_) != 0) fds_[0] = fds_[1] = -1;
    const int big = 8 << 20;
    ::setsockopt(fds_[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    ::setsockopt(fds_[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (stamps) fh::AskForReceiveInfo(fds_[0]);
  }
  ~Pair() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  bool Ok() const { return fds_[0] >= 0; }
  int Receiver() const { return fds_[0]; }
  // Queues n datagrams; false when the socket took fewer.
  bool Fill(int n) {
    std::uint8_t d[kDatagram];
    std::memset(d, 0x5a, sizeof d);
    for (int i = 0; i < n; ++i)
      if (::send(fds_[1], d, sizeof d, MSG_DONTWAIT) != kDatagram) return false;
    return true;
  }

 private:
  int fds_[2] = {-1, -1};
};

// state.range(0): 1 asks for stamps and drop counts; state.range(1): batch limit.
void BM_ReceiveQueued(benchmark::State& state) {
  Pair pair(state.range(0) == 1);
  const int limit = static_cast<int>(state.range(1));
  if (!pair.Ok()) {
    state.SkipWithError("socketpair failed");
    return;
  }
  static fh::DatagramBatch<fh::kWholeUdp, kSlots> batch;
  std::int64_t received = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!pair.Fill(kQueued)) {
      state.SkipWithError("the pair took fewer datagrams than queued");
      return;
    }
    state.ResumeTiming();
    for (int left = kQueued; left > 0;) {
      const int got = batch.Receive(pair.Receiver(), limit);
      if (got <= 0) break;
      std::int64_t stamp = 0;
      for (int i = 0; i < got; ++i) stamp += batch.ReceivedAtNs(i) + batch.Length(i);
      benchmark::DoNotOptimize(stamp);
      left -= got;
      received += got;
    }
  }
  state.SetItemsProcessed(received);
  state.counters["ns/datagram"] = benchmark::Counter(static_cast<double>(received),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReceiveQueued)->ArgNames({"stamps", "limit"})->Args({0, 64})->Args({1, 64})->Args({0, 1})->Args({1, 1});

}  // namespace

BENCHMARK_MAIN();
