// The record transport on local socket pairs standing in for Bridge
// connections: the sending rules, the oversize count, failed and stalled
// Bridges, and the two delta senders without broadcast sockets.
#include <fcntl.h>

#include <thread>

#include "distribution/bridge_transport.h"
#include "distribution/send_batch.h"
#include "fixture.h"

namespace fh {
namespace {

using namespace testing;
using namespace std::chrono_literals;

class TransportTest : public ::testing::Test, protected TransportRig {
 protected:
  void SetUp() override {
    state.options.sendTcp = 1;
    transport.AttachBridge(pair.feed);
  }
  Lines Failures() const { return state.LinesContaining("Send Failed to Bridge from FH"); }
  // What reached a dropped Bridge: whole packets in order, then the bytes of
  // at most one cut packet (returned), then the end of the stream.
  std::size_t CutTail() const {
    const std::size_t tail = WalkPackets(Drain(pair.bridge.Fd(), 500ms));
    char byte;
    EXPECT_EQ(::recv(pair.bridge.Fd(), &byte, 1, MSG_DONTWAIT), 0);
    return tail;
  }

  SocketPair pair;
};

TEST_F(TransportTest, SendsWhatMayGoWholeAndCountsPacketsLongerThan512) {
  const auto refused = BuildPacket(100, 9, 1);
  EXPECT_EQ(BridgeTransport(state.context).SendToBridges(1, 100, refused.data(), 0), 0);  // no Bridge
  struct Case { const char* what; int ctcl, radio, length; };
  for (const Case& c : {Case{"server radio chosen", 1, -1, 100}, Case{"ctcl off", 0, 0, 100},
                        Case{"empty packet", 1, 0, 0}, Case{"negative length", 1, 0, -5}}) {
    SCOPED_TRACE(c.what);
    state.options.ctcl = c.ctcl;
    state.options.feedHandlerRadio = c.radio;
    EXPECT_EQ(transport.SendToBridges(1, c.length, refused.data(), 0), 1);
  }
  state.options.pktCounters = 1;  // ctcl and the radio as the last case left them: packets may go
  auto stream = BuildPacket(512, 1, 1);
  const auto over = BuildPacket(513, 2, 2);
  EXPECT_EQ(Send(2, stream), 1);
  EXPECT_EQ(Send(2, over), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 1u);
  EXPECT_EQ(state.CounterCell(6541, 1), "1");
  stream.insert(stream.end(), over.begin(), over.end());
  EXPECT_EQ(Drain(pair.bridge.Fd(), 2s, stream.size()), stream);  // none of the refused ones
  state.options.pktCounters = 0;  // counted, not shown
  EXPECT_EQ(Send(2, BuildPacket(2000, 3, 3)), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 2u);
  EXPECT_EQ(state.CounterCell(6541, 1), "1");
}

// Each sender writes packet by packet, or through its own batch handed over
// every 16 packets (runs that the queue takes whole, sent directly or queued).
class TwoSenders : public ::testing::TestWithParam<bool> {};

TEST_P(TwoSenders, ABridgeReceivesWholePacketsFromBothInTheirOrder) {
  constexpr std::uint32_t kEach = 5000;
  constexpr std::size_t kLength = 547, kHalf = kEach * kLength;  // each half fits the queue
  FeedState state;
  state.options.sendTcp = 1;
  // The reader never stops; on a busy machine it may still not run for longer
  // than the usual send timeout, which is not what this test is about.
  BridgeTransport transport(state.context, 60s);
  SocketPair pair;
  transport.AttachBridge(pair.feed);
  std::vector<std::uint8_t> stream;
  std::atomic<std::size_t> received{0};
  std::thread reader([&] { stream = Drain(pair.bridge.Fd(), 2s, 2 * kHalf, &received); });
  auto sender = [&](int segment) {
    SendBatch batch(transport, state.options);
    BridgeOutput& out = GetParam() ? static_cast<BridgeOutput&>(batch) : transport;
    for (std::uint32_t seq = 0; seq < kEach; ++seq) {
      // The second half, sent once the first was read, wraps the queue's ring.
      if (seq == kEach / 2) { ASSERT_TRUE(WaitFor([&] { return received >= kHalf; })); }
      const auto p = BuildPacket(kLength, static_cast<std::uint8_t>(segment), seq);
      out.SendToBridges(segment, kLength, p.data(), 0);
      if (seq % 16 == 15 || seq + 1 == kEach / 2) out.Flush();
    }
    out.Flush();
  };
  { std::jthread a(sender, 1), b(sender, 2); }
  reader.join();
  EXPECT_EQ(stream.size(), 2 * kHalf);
  EXPECT_EQ(WalkPackets(stream), 0u);
}

INSTANTIATE_TEST_SUITE_P(PacketByPacketOrBatched, TwoSenders, ::testing::Bool());

TEST_F(TransportTest, ABridgeThatWentAwayIsLoggedAndDroppedUntilTheNextAccept) {
  for (const auto& [segment, text] : {std::pair{2, "FO"}, {3, "XX"}, {4, "BC"}}) {
    SCOPED_TRACE(text);
    SocketPair bridge;
    transport.AttachBridge(bridge.feed);
    EXPECT_EQ(transport.CurrentBridgeSocket(), bridge.feed->Fd());
    bridge.bridge.Reset();  // the Bridge went away
    const auto p = BuildPacket(100, 1, 1);
    EXPECT_EQ(Send(segment, p), 1);
    ASSERT_TRUE(WaitFor([&] { return !transport.BridgeConnected(); }, 2s));
    const auto lines = state.LinesInOrder();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{std::string(text) + " Status 1 | Sent -1 of 100 | Send Failed to Bridge from FH\n",
                     std::string(text) + " Bridge Dis-Connected\n"}));
    EXPECT_EQ(transport.CurrentBridgeSocket(), -1);
    EXPECT_EQ(Send(4, p), 0);
    EXPECT_EQ(state.log.Size(), lines.size());
    // The connection's client thread still owns the descriptor: shut down, not closed.
    EXPECT_NE(::fcntl(bridge.feed->Fd(), F_GETFD), -1);
  }
}

// Each sender writes packet by packet, or through its own batch handed over
// every 16 packets (one append of many, which the bound may cut in between).
class SlowBridge : public TransportTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SlowBridge, IsDroppedAtTheBoundWhileTheSendersKeepGoing) {
  constexpr int kLength = 496;
  constexpr std::size_t kBatch = 16;
  long long slowestUs[2] = {0, 0};
  std::atomic<std::size_t> accepted{0};
  // The Bridge reads a trickle, so it falls behind without ever stalling for
  // the send timeout, however slowly the senders reach the bound.
  const int smallest = 1;
  ::setsockopt(pair.feed->Fd(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
  std::vector<std::uint8_t> got;
  std::atomic<bool> sendersDone{false};
  std::thread reader([&] {
    std::uint8_t buffer[4096];
    for (ssize_t n; (n = ::recv(pair.bridge.Fd(), buffer, sizeof buffer, 0)) > 0;) {
      got.insert(got.end(), buffer, buffer + n);
      if (!sendersDone) std::this_thread::sleep_for(5ms);
    }
  });
  auto sender = [&](int segment) {
    SendBatch batch(transport, state.options);
    BridgeOutput& out = GetParam() ? static_cast<BridgeOutput&>(batch) : transport;
    std::size_t held = 0;
    for (std::uint32_t seq = 0; seq < 100000 && transport.BridgeConnected(); ++seq) {
      const auto t0 = std::chrono::steady_clock::now();
      const bool connected = transport.BridgeConnected();
      const auto p = BuildPacket(kLength, static_cast<std::uint8_t>(segment), seq);
      int rc = out.SendToBridges(segment, kLength, p.data(), 0);
      held += kLength;
      if (seq % kBatch == kBatch - 1 || !GetParam()) out.Flush();
      else rc = 0;  // held back: counted when handed over
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
      if (rc == 1 && connected && transport.BridgeConnected()) accepted += held;
      if (rc == 1) held = 0;
      slowestUs[segment - 1] = std::max<long long>(slowestUs[segment - 1], took.count());
    }
  };
  { std::jthread a(sender, 1), b(sender, 2); }
  sendersDone = true;
  reader.join();  // to the end of the dropped stream
  // No call waited for the Bridge (the old transport held a caller up to 200 ms).
  EXPECT_LT(std::max(slowestUs[0], slowestUs[1]), 100000);
  // Dropped for the bound: the queue was full when it was dropped (less the
  // refused packets and those the other sender had queued but not yet counted).
  EXPECT_GT(accepted.load() + 2 * kBatch * kLength, kBridgeSendBufferBytes);
  ASSERT_EQ(Failures().size(), 1u);
  EXPECT_EQ(Failures()[0].substr(2), " Status 1 | Sent -1 of 496 | Send Failed to Bridge from FH\n");
  EXPECT_LT(WalkPackets(got), static_cast<std::size_t>(kLength));  // whole packets, at most one cut
  const FeedMetrics& m = state.metrics;
  EXPECT_EQ(m.bridgeDrops[FeedMetrics::kDropSlow].Get(), 1u);
  EXPECT_EQ(m.sendFailures[FeedMetrics::kOutTcp].Get(), 1u);
  EXPECT_GT(m.bridgeQueueHighWater.Get() + 2 * static_cast<std::int64_t>(kBatch * kLength),
            static_cast<std::int64_t>(kBridgeSendBufferBytes));

  SocketPair next;  // the next Bridge gets a clean stream
  transport.AttachBridge(next.feed);
  const auto p = BuildPacket(200, 3, 1);
  EXPECT_EQ(Send(1, p), 1);
  EXPECT_EQ(Drain(next.bridge.Fd(), 2s, p.size()), p);

  // It stops reading too: stopping the senders ends them at once whatever is queued.
  for (int i = 0; i < 4000 && transport.BridgeConnected(); ++i) Send(1, p);
  const auto t0 = std::chrono::steady_clock::now();
  transport.StopSenders();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_FALSE(transport.BridgeConnected());
  EXPECT_EQ(Send(1, p), 0);
}

INSTANTIATE_TEST_SUITE_P(PacketByPacketOrBatched, SlowBridge, ::testing::Bool());

TEST_F(TransportTest, ABridgeWhoseSocketTakesNothingForTheSendTimeoutIsDroppedAfterTheBytesItGot) {
  for (std::uint32_t seq = 0; seq < 2000 && transport.BridgeConnected(); ++seq) Send(1, BuildPacket(500, 1, seq));
  ASSERT_TRUE(WaitFor([&] { return !transport.BridgeConnected(); }, 3s));  // far below the bound
  int sent = 0;
  ASSERT_EQ(Failures().size(), 1u);
  ASSERT_EQ(std::sscanf(Failures()[0].c_str(), "CM Status 1 | Sent %d of 500 |", &sent), 1) << Failures()[0];
  EXPECT_EQ(state.log.Line(0), "CM Bridge Dis-Connected\n");
  EXPECT_EQ(static_cast<int>(CutTail()), std::max(sent, 0));  // the cut packet's bytes, as logged
}

// Without broadcast sockets every line that is sent reports a short count:
// the standard-error text tells which calls tried to send.
class DeltaSenders : public ::testing::Test, protected TransportRig {};

TEST_F(DeltaSenders, SendOnlyWhatTheirRulesAllowAndWriteNothingPastTheBuffer) {
  constexpr char kShort[] = "sendto() sent incorrect number of bytes: Bad file descriptor\n";
  struct Case { const char* what; bool subscribed; int segment; const char* line; int rc; const char *err, *after; };
  const Case cases[] = {
      {"subscribed line is prefixed into the caller's buffer", true, 4, ",500112|71000", -1, kShort, "4,500112|71000"},
      {"empty subscribed line is not sent", true, 1, "", 0, "", ""},
      // all-delta lines: for segments 1 and 2 only
      {"segment 1 sent", false, 1, ",1|2", 0, kShort, ",1|2"}, {"segment 2 sent", false, 2, ",1|2", 0, kShort, ",1|2"},
      {"segment 3 not sent", false, 3, ",1|2", 0, "", ",1|2"}, {"segment 4 not sent", false, 4, ",1|2", 0, "", ",1|2"},
      {"empty all-delta line is not sent", false, 1, "", 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%s", c.line);
    ::testing::internal::CaptureStderr();
    const int rc = c.subscribed ? transport.SendDeltaSubscribed(c.segment, buffer, sizeof buffer)
                                : transport.SendDeltaAll(c.segment, buffer);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(rc, c.rc);
    EXPECT_STREQ(buffer, c.after);
  }
  char buffer[9] = ",12|345";
  buffer[8] = 'M';  // marker past the capacity handed in: the prefixed line is cut there
  ::testing::internal::CaptureStderr();
  transport.SendDeltaSubscribed(12, buffer, 8);
  ::testing::internal::GetCapturedStderr();
  EXPECT_STREQ(buffer, "12,12|3");
  EXPECT_EQ(buffer[8], 'M');
}

}  // namespace
}  // namespace fh
