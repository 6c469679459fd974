// The record transport on local socket pairs standing in for Bridge
// connections: the sending rules, the oversize count, failed and stalled
// Bridges, and the two delta senders without broadcast sockets.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "distribution/bridge_transport.h"
#include "fixture.h"

namespace fh {
namespace {

using testing::BuildPacket;
using testing::Drain;
using testing::FeedState;
using testing::SocketPair;
using testing::WaitFor;
using namespace std::chrono_literals;

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { state.options.sendTcp = 1; }
  int Send(int segment, const std::vector<std::uint8_t>& p) {
    return transport.SendToBridges(segment, static_cast<int>(p.size()), p.data());
  }
  bool LoggedSoon(const std::string& line) {
    return WaitFor([&] { return state.Logged(line); }, 2s);
  }

  FeedState state;
  BridgeTransport transport{state.context};
  SocketPair pair;
};

TEST_F(TransportTest, SendsNothingUnlessABridgeIsConnectedAndThePacketMayGo) {
  const auto p = BuildPacket(100, 1, 1);
  EXPECT_EQ(Send(1, p), 0);  // no Bridge yet
  transport.AttachBridge(pair.feed);
  struct Case {
    const char* what;
    int ctcl, radio, length;
  };
  for (const Case& c : {Case{"ctcl off", 0, 0, 100}, Case{"server radio chosen", 1, -1, 100},
                        Case{"empty packet", 1, 0, 0}, Case{"negative length", 1, 0, -5}}) {
    SCOPED_TRACE(c.what);
    state.options.ctcl = c.ctcl;
    state.options.feedHandlerRadio = c.radio;
    EXPECT_EQ(transport.SendToBridges(1, c.length, p.data()), 1);
  }
  state.options.ctcl = 1;
  state.options.feedHandlerRadio = 0;
  EXPECT_EQ(Send(1, p), 1);
  EXPECT_EQ(Drain(pair.bridge.Fd(), 2s, p.size()), p);  // only the last one
}

TEST_F(TransportTest, CountsPacketsLongerThan512AndStillSendsThemWhole) {
  transport.AttachBridge(pair.feed);
  state.options.pktCounters = 1;
  const auto exact = BuildPacket(512, 1, 1);
  const auto over = BuildPacket(513, 2, 2);
  EXPECT_EQ(Send(2, exact), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 0u);
  EXPECT_EQ(Send(2, over), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 1u);
  EXPECT_EQ(state.CounterCell(6541, 1), "1");
  auto expected = exact;
  expected.insert(expected.end(), over.begin(), over.end());
  EXPECT_EQ(Drain(pair.bridge.Fd(), 2s, expected.size()), expected);

  state.options.pktCounters = 0;  // counted, not shown
  EXPECT_EQ(Send(2, BuildPacket(2000, 3, 3)), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 2u);
  EXPECT_EQ(state.CounterCell(6541, 1), "1");
}

TEST_F(TransportTest, ABridgeThatWentAwayIsLoggedAndDroppedUntilTheNextAccept) {
  for (const auto& [segment, text] : {std::pair{1, "CM"}, std::pair{3, "XX"}}) {
    SCOPED_TRACE(text);
    SocketPair bridge;
    transport.AttachBridge(bridge.feed);
    EXPECT_EQ(transport.CurrentBridgeSocket(), bridge.feed->Fd());
    bridge.bridge.Reset();  // the Bridge went away
    const auto p = BuildPacket(100, 1, 1);
    EXPECT_EQ(Send(segment, p), 1);
    ASSERT_TRUE(WaitFor([&] { return !transport.BridgeConnected(); }, 2s));
    const auto lines = state.LinesInOrder();
    const std::string segText(text);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{segText + " Status 1 | Sent -1 of 100 | Send Failed to Bridge from FH\n",
                                        segText + " Bridge Dis-Connected\n"}));
    EXPECT_EQ(transport.CurrentBridgeSocket(), -1);
    EXPECT_EQ(Send(4, p), 0);
    EXPECT_EQ(state.log.Size(), lines.size());
    // The connection's client thread still owns the descriptor: shut down, not closed.
    EXPECT_NE(::fcntl(bridge.feed->Fd(), F_GETFD), -1);
  }
}

TEST_F(TransportTest, ABridgeThatStopsReadingIsDroppedAtTheBoundWhileTheSendersKeepGoing) {
  transport.AttachBridge(pair.feed);
  constexpr int kLength = 496;
  long long slowestUs[2] = {0, 0};
  std::atomic<std::size_t> accepted{0};
  auto sender = [&](int segment) {
    for (std::uint32_t seq = 0; seq < 100000 && transport.BridgeConnected(); ++seq) {
      const auto p = BuildPacket(kLength, static_cast<std::uint8_t>(segment), seq);
      const auto t0 = std::chrono::steady_clock::now();
      const bool connected = transport.BridgeConnected();
      const int rc = transport.SendToBridges(segment, kLength, p.data());
      const long long took =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
      if (rc == 1 && connected && transport.BridgeConnected()) accepted += kLength;
      slowestUs[segment - 1] = std::max(slowestUs[segment - 1], took);
    }
  };
  std::thread a(sender, 1), b(sender, 2);
  a.join();
  b.join();
  EXPECT_FALSE(transport.BridgeConnected());
  // No call waited for the Bridge (the old transport held a caller up to 200 ms).
  EXPECT_LT(std::max(slowestUs[0], slowestUs[1]), 100000);
  // Dropped for the bound: the queue was full when it was dropped.
  EXPECT_GT(accepted.load() + kLength, kBridgeSendBufferBytes);
  const auto failures = state.LinesContaining("Send Failed to Bridge from FH");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].substr(2), " Status 1 | Sent -1 of 496 | Send Failed to Bridge from FH\n");

  // What reached the Bridge: whole packets, at most one cut one, then the end.
  const auto stream = Drain(pair.bridge.Fd(), 500ms);
  std::size_t packets = 0, tail = 0;
  EXPECT_TRUE(testing::WalkPackets(stream, &packets, &tail));
  EXPECT_LT(tail, static_cast<std::size_t>(kLength));
  char byte;
  EXPECT_EQ(::recv(pair.bridge.Fd(), &byte, 1, MSG_DONTWAIT), 0);

  // The next Bridge gets a clean stream.
  SocketPair next;
  transport.AttachBridge(next.feed);
  const auto p = BuildPacket(200, 3, 1);
  EXPECT_EQ(Send(1, p), 1);
  EXPECT_EQ(Drain(next.bridge.Fd(), 2s, p.size()), p);
}

TEST_F(TransportTest, ABridgeWhoseSocketTakesNothingForTheSendTimeoutIsDroppedAfterTheBytesItGot) {
  transport.AttachBridge(pair.feed);  // never read, far below the bound
  for (std::uint32_t seq = 0; seq < 2000 && transport.BridgeConnected(); ++seq) Send(1, BuildPacket(500, 1, seq));
  ASSERT_TRUE(WaitFor([&] { return !transport.BridgeConnected(); }, 3s));
  const auto failures = state.LinesContaining("Send Failed to Bridge from FH");
  ASSERT_EQ(failures.size(), 1u);
  int sent = 0;
  ASSERT_EQ(std::sscanf(failures[0].c_str(), "CM Status 1 | Sent %d of 500 |", &sent), 1) << failures[0];
  EXPECT_EQ(state.log.Line(0), "CM Bridge Dis-Connected\n");
  const auto stream = Drain(pair.bridge.Fd(), 500ms);
  std::size_t packets = 0, tail = 0;
  EXPECT_TRUE(testing::WalkPackets(stream, &packets, &tail));
  EXPECT_EQ(static_cast<int>(tail), sent > 0 ? sent : 0);  // the cut packet's bytes, as logged
}

TEST_F(TransportTest, StoppingTheSendersEndsThemAtOnceWhateverIsQueued) {
  transport.AttachBridge(pair.feed);  // never read
  const auto p = BuildPacket(1000, 1, 1);
  for (int i = 0; i < 2000 && transport.BridgeConnected(); ++i) Send(1, p);
  const auto t0 = std::chrono::steady_clock::now();
  transport.StopSenders();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_FALSE(transport.BridgeConnected());
  EXPECT_EQ(Send(1, p), 0);
}

// Without broadcast sockets every line that is sent reports a short count:
// the standard-error text tells which calls tried to send.
TEST(DeltaSenders, SendOnlyWhatTheirRulesAllow) {
  constexpr char kShort[] = "sendto() sent incorrect number of bytes: Bad file descriptor\n";
  struct Case {
    const char* what;
    bool subscribed;
    int segment;
    const char* line;
    int result;
    const char* stderrText;
    const char* bufferAfter;
  };
  const Case cases[] = {
      {"subscribed line is prefixed into the caller's buffer", true, 4, ",500112|71000", -1, kShort, "4,500112|71000"},
      {"empty subscribed line is not sent", true, 1, "", 0, "", ""},
      {"all-delta line for segment 1 is tried", false, 1, ",1|2", 0, kShort, ",1|2"},
      {"all-delta line for segment 2 is tried", false, 2, ",1|2", 0, kShort, ",1|2"},
      {"no all-delta line for segment 3", false, 3, ",1|2", 0, "", ",1|2"},
      {"no all-delta line for segment 4", false, 4, ",1|2", 0, "", ",1|2"},
      {"empty all-delta line is not sent", false, 1, "", 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FeedState state;
    BridgeTransport transport(state.context);
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%s", c.line);
    ::testing::internal::CaptureStderr();
    const int rc = c.subscribed ? transport.SendDeltaSubscribed(c.segment, buffer, sizeof buffer)
                                : transport.SendDeltaAll(c.segment, buffer);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.stderrText);
    EXPECT_EQ(rc, c.result);
    EXPECT_STREQ(buffer, c.bufferAfter);
  }
}

TEST(DeltaSenders, APrefixedLineThatOutgrowsTheBufferIsCutThereAndNothingIsWrittenBeyond) {
  FeedState state;
  BridgeTransport transport(state.context);
  char buffer[9] = ",12|345";
  buffer[8] = 'M';  // marker past the capacity handed in
  ::testing::internal::CaptureStderr();
  transport.SendDeltaSubscribed(12, buffer, 8);
  ::testing::internal::GetCapturedStderr();
  EXPECT_STREQ(buffer, "12,12|3");
  EXPECT_EQ(buffer[8], 'M');
}

}  // namespace
}  // namespace fh
