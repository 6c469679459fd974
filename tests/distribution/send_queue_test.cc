// The Bridge's send queue on local socket pairs whose buffers the test fills
// and drains (where the ring wraps, its exact bound, a slow reader), the send
// batch handing everything over at the batch's end, and datagram outputs whose
// socket is full.
#include <sys/socket.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "distribution/bridge_send_queue.h"
#include "distribution/send_batch.h"
#include "fixture.h"

namespace fh {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Result = BridgeSendQueue::AppendResult;

// Writes filler into fd until its buffer is full; returns what was written.
Bytes FillSocket(int fd) {
  Bytes filler;
  const Bytes chunk(256, 0xEE);
  for (ssize_t n; (n = ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;)
    filler.insert(filler.end(), chunk.begin(), chunk.begin() + n);
  return filler;
}

// One run of packets laid end to end, as a batch hands it over.
struct PacketRun {
  Bytes bytes;
  std::vector<QueuedPacket> packets;
  PacketRun(const std::vector<int>& lengths, std::uint32_t& sequence) {
    for (int length : lengths) {
      const auto p = BuildPacket(length, 1, sequence++);
      bytes.insert(bytes.end(), p.begin(), p.end());
      packets.push_back(QueuedPacket{1, length, 0});
    }
  }
};

// A queue on a local stream pair whose feed end takes about 4 KiB at a time.
struct QueueRig {
  SocketPair pair;
  std::atomic<int> failures{0};
  BridgeSendQueue queue;
  std::uint32_t sequence = 0;

  explicit QueueRig(std::size_t capacity, std::chrono::milliseconds timeout = 60s)
      : queue(pair.feed, [this](const BridgeSendQueue::Failure&) { ++failures; }, capacity, timeout) {
    const int smallest = 1;
    ::setsockopt(pair.feed->Fd(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
    EXPECT_TRUE(WaitFor([&] { return queue.Idle(); }));
  }
  Result Append(const PacketRun& run, BridgeSendQueue::Appended* done = nullptr) {
    return queue.Append(run.bytes.data(), run.packets.data(), static_cast<int>(run.packets.size()), done);
  }
  // Reads exactly what is expected (or what came before a pause of 2 s).
  Bytes Read(std::size_t size) const { return Drain(pair.bridge.Fd(), 2s, size); }
};

void Add(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

TEST(SendQueue, KeepsEveryByteWhereTheRingWraps) {
  // The ring holds 16384 bytes and its tail starts at 8000, so the runs below
  // wrap it: inside what a direct send left (the socket took part of the
  // run), or inside a later packet of a run queued behind another.
  struct Case { const char* what; bool socketFull; std::vector<std::vector<int>> runs; };
  const Case cases[] = {
      {"what a direct send left", false, {{3000, 3000, 3000, 3000}}},
      {"a run queued behind another", true, {{3000, 3000}, {2000, 2000, 2000, 2000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QueueRig rig(16384);
    Bytes expected = FillSocket(rig.pair.feed->Fd());
    const PacketRun lead({4000, 4000}, rig.sequence);
    ASSERT_EQ(rig.Append(lead), Result::kQueued);
    Add(expected, lead.bytes);
    ASSERT_TRUE(rig.Read(expected.size()) == expected);
    ASSERT_TRUE(WaitFor([&] { return rig.queue.Idle(); }));

    expected = c.socketFull ? FillSocket(rig.pair.feed->Fd()) : Bytes{};
    for (const auto& lengths : c.runs) {
      const PacketRun run(lengths, rig.sequence);
      BridgeSendQueue::Appended done;
      ASSERT_EQ(rig.Append(run, &done), Result::kQueued);
      if (!c.socketFull) {
        ASSERT_LT(done.queued, run.bytes.size()) << "the socket was to take part of the run";
      }
      ASSERT_GT(done.queued, 0u) << "the ring was to keep part of the run";
      Add(expected, run.bytes);
    }
    // Nothing else is appended: the sender must be woken for what is left.
    const Bytes got = rig.Read(expected.size());
    EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size();
    EXPECT_EQ(rig.failures, 0);
  }
}

TEST(SendQueue, TakesRunsUpToExactlyItsBoundAndFailsOneByteOver) {
  // A 4096-byte ring already holding 2048 bytes the full socket did not take.
  struct Case { const char* what; std::vector<int> second; Result result; int taken; };
  const Case cases[] = {
      {"one byte below the bound", {1000, 1047}, Result::kQueued, 2},
      {"exactly at the bound", {1000, 1048}, Result::kQueued, 2},
      {"one byte over", {1000, 1049}, Result::kOverflow, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QueueRig rig(4096);
    Bytes expected = FillSocket(rig.pair.feed->Fd());
    const PacketRun first({2048}, rig.sequence), second(c.second, rig.sequence);
    ASSERT_EQ(rig.Append(first), Result::kQueued);
    BridgeSendQueue::Appended done;
    EXPECT_EQ(rig.Append(second, &done), c.result);
    EXPECT_EQ(done.taken, c.taken);
    if (c.result == Result::kOverflow) {
      EXPECT_EQ(rig.Append(first), Result::kClosed);  // the stream has ended
      continue;
    }
    EXPECT_EQ(done.queued, first.bytes.size() + second.bytes.size());
    Add(expected, first.bytes);
    Add(expected, second.bytes);
    EXPECT_TRUE(rig.Read(expected.size()) == expected);
  }
}

TEST(SendQueue, ABridgeThatReadsSlowlyButSteadilyIsNeverTimedOut) {
  // 200 KB handed over at once, read 2 KiB every 5 ms: the whole takes far
  // longer than the send timeout, but the socket takes bytes all the while.
  QueueRig rig(kBridgeSendBufferBytes, kBridgeSendTimeout);
  Bytes expected;
  for (int i = 0; i < 40; ++i) {
    const PacketRun run({2500, 2500}, rig.sequence);
    ASSERT_EQ(rig.Append(run), Result::kQueued);
    Add(expected, run.bytes);
  }
  Bytes got;
  std::uint8_t buffer[2048];
  for (pollfd p{rig.pair.bridge.Fd(), POLLIN, 0}; got.size() < expected.size() && ::poll(&p, 1, 2000) > 0;) {
    const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size();
  EXPECT_EQ(rig.failures, 0);
}

// A local datagram pair standing in for an output socket and its listener;
// the transport sends to the pair's peer (destination AF_UNSPEC).
struct DatagramPair {
  SocketFd feed, listener;
  explicit DatagramPair(int sendBuffer) {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    feed.Reset(fds[0]);
    listener.Reset(fds[1]);
    ::setsockopt(feed.Fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  }
  // The datagrams waiting for the listener.
  std::vector<std::string> Received() const {
    std::vector<std::string> out;
    char buffer[2048];
    for (ssize_t n; (n = ::recv(listener.Fd(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) out.emplace_back(buffer, n);
    return out;
  }
};

std::string Frame(const std::vector<std::uint8_t>& packet) {  // 1024 bytes, zero-padded
  std::string frame(packet.begin(), packet.begin() + std::min<std::ptrdiff_t>(std::ssize(packet), 1024));
  return frame + std::string(1024 - frame.size(), '\0');
}

class DatagramOutputs : public ::testing::Test, protected TransportRig {
 protected:
  void SetUp() override {
    state.options.sendTcp = 1;
    state.options.sendUdp = 1;
    state.options.sendMcast = 1;
    transport.AttachBridge(bridge.feed);
  }
  void Install(int sendBuffer) {
    udp.emplace(sendBuffer);
    mcast.emplace(sendBuffer);
    transport.SetUdpOutput(std::move(udp->feed), sockaddr_in{});
    transport.SetMcastOutput(1, std::move(mcast->feed), sockaddr_in{});
  }
  SocketPair bridge;
  std::optional<DatagramPair> udp, mcast;
};

TEST_F(DatagramOutputs, AFullSocketDropsAndCountsWhatItWillNotTakeAndNeverHoldsTheSender) {
  state.options.sendTcp = 0;
  Install(1);  // room for a few frames; nobody reads
  constexpr int kPackets = 40;
  std::vector<std::string> frames;
  ::testing::internal::CaptureStderr();
  for (std::uint32_t i = 0; i < kPackets; ++i) {
    const auto p = BuildPacket(300, 1, i);
    frames.push_back(Frame(p));
    ASSERT_EQ(Send(1, p), 1);
  }
  const std::string errors = ::testing::internal::GetCapturedStderr();
  const FeedMetrics& m = state.metrics;
  struct Output { const char* what; const DatagramPair& pair; std::uint64_t sent, failed; };
  for (const Output& o : {Output{"UDP", *udp, m.udpFrames.Get(), m.sendFailures[FeedMetrics::kOutUdp].Get()},
                          Output{"multicast", *mcast, m.mcastFrames.Get(), m.sendFailures[FeedMetrics::kOutMcast].Get()}}) {
    SCOPED_TRACE(o.what);
    const auto got = o.pair.Received();
    EXPECT_GT(o.failed, 0u);
    EXPECT_EQ(o.sent + o.failed, std::uint64_t{kPackets});
    ASSERT_EQ(got.size(), o.sent);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), frames.begin()));  // the first ones, whole
  }
  // Only UDP failures are told on standard error.
  std::string told;
  for (std::uint64_t i = 0; i < m.sendFailures[FeedMetrics::kOutUdp].Get(); ++i)
    told += "sendto() sent incorrect number of bytes: Resource temporarily unavailable\n";
  EXPECT_EQ(errors, told);
}

TEST_F(DatagramOutputs, ABatchHandsOverEverythingItHeldWhenItEnds) {
  Install(1 << 20);
  // Few packets stay held until the end; 70 of 1000 bytes do not fit the
  // batch's 64 KiB packet buffer at once.
  struct Case { const char* what; int count, length; };
  for (const Case& c : {Case{"a few packets", 3, 300}, Case{"more than the packet buffer holds", 70, 1000}}) {
    SCOPED_TRACE(c.what);
    SendBatch batch(transport, state.options);
    std::string stream;
    std::vector<std::string> frames;
    for (int i = 0; i < c.count; ++i) {
      const auto p = BuildPacket(c.length, 2, static_cast<std::uint32_t>(i));
      stream.append(p.begin(), p.end());
      frames.push_back(Frame(p));
      ASSERT_EQ(batch.SendToBridges(1, c.length, p.data(), 0), 1);
    }
    batch.Flush();
    const auto got = Drain(bridge.bridge.Fd(), 2s, stream.size());
    EXPECT_TRUE(std::string(got.begin(), got.end()) == stream) << got.size() << " bytes of " << stream.size();
    EXPECT_EQ(udp->Received(), frames);
    EXPECT_EQ(mcast->Received(), frames);
  }
}

}  // namespace
}  // namespace fh
