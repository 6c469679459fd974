// The record transport on a local socket pair standing in for a Bridge
// connection: the sending rules, the oversize count, a failed Bridge, and the
// two delta senders without broadcast sockets. Stalled Bridges and concurrent
// senders are tested on real TCP in net_test.cc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>

#include "distribution/bridge_transport.h"
#include "fixture.h"

namespace fh {
namespace {

using testing::BuildPacket;
using testing::Drain;
using testing::FeedState;
using namespace std::chrono_literals;

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    bridge = std::make_shared<BridgeConnection>(fds[0]);
    peer.Reset(fds[1]);
    state.options.sendTcp = 1;
  }

  int Send(int segment, const std::vector<std::uint8_t>& p) {
    return transport.SendToBridges(segment, static_cast<int>(p.size()), p.data());
  }

  FeedState state;
  BridgeTransport transport{state.context};
  std::shared_ptr<BridgeConnection> bridge;
  SocketFd peer;  // the Bridge's end
};

TEST_F(TransportTest, SendsNothingWhileNoBridgeIsConnected) {
  EXPECT_FALSE(transport.BridgeConnected());
  EXPECT_EQ(Send(1, BuildPacket(100, 1, 1)), 0);
  EXPECT_TRUE(Drain(peer.get(), 20ms).empty());
}

TEST_F(TransportTest, SendsNothingButAnswersOneWhenCtclIsOffOrTheServerRadioIsChosenOrThePacketIsEmpty) {
  transport.AttachBridge(bridge);
  const auto p = BuildPacket(100, 1, 1);
  state.options.ctcl = 0;
  EXPECT_EQ(Send(1, p), 1);
  state.options.ctcl = 1;
  state.options.feedHandlerRadio = -1;
  EXPECT_EQ(Send(1, p), 1);
  state.options.feedHandlerRadio = 0;
  EXPECT_EQ(transport.SendToBridges(1, 0, p.data()), 1);
  EXPECT_EQ(transport.SendToBridges(1, -5, p.data()), 1);
  EXPECT_TRUE(Drain(peer.get(), 20ms).empty());
  EXPECT_EQ(Send(1, p), 1);
  EXPECT_EQ(Drain(peer.get(), 20ms), p);
}

TEST_F(TransportTest, CountsPacketsLongerThan512AndStillSendsThemWhole) {
  transport.AttachBridge(bridge);
  state.options.pktCounters = 1;
  const auto exact = BuildPacket(512, 1, 1);
  const auto over = BuildPacket(513, 2, 2);
  EXPECT_EQ(Send(2, exact), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 0u);
  EXPECT_EQ(Send(2, over), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 1u);
  EXPECT_EQ(state.grid.CellText(11, 0), "6541");
  EXPECT_EQ(state.grid.CellText(11, 1), "1");
  auto expected = exact;
  expected.insert(expected.end(), over.begin(), over.end());
  EXPECT_EQ(Drain(peer.get(), 20ms), expected);

  state.options.pktCounters = 0;  // counted, not shown
  EXPECT_EQ(Send(2, BuildPacket(2000, 3, 3)), 1);
  EXPECT_EQ(transport.OversizePacketCount(), 2u);
  EXPECT_EQ(state.grid.CellText(11, 1), "1");
}

TEST_F(TransportTest, AFailedSendIsLoggedAndDropsTheBridgeUntilTheNextAccept) {
  transport.AttachBridge(bridge);
  const int fd = bridge->fd();
  EXPECT_EQ(transport.CurrentBridgeSocket(), fd);
  peer.Reset();  // the Bridge went away
  EXPECT_EQ(Send(1, BuildPacket(100, 1, 1)), 1);
  EXPECT_EQ(state.log.Line(0), "CM Status 1 | Sent -1 of 100 | Send Failed to Bridge from FH\n");
  EXPECT_FALSE(transport.BridgeConnected());
  EXPECT_EQ(transport.CurrentBridgeSocket(), -1);
  EXPECT_EQ(Send(4, BuildPacket(100, 1, 2)), 0);
  EXPECT_EQ(state.log.Size(), 1u);
  // Another owner (the connection's client thread) still holds the
  // descriptor: the transport only shut it down, it did not close it.
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
}

TEST_F(TransportTest, UsesXXForSegmentsWithoutMessageText) {
  transport.AttachBridge(bridge);
  peer.Reset();
  EXPECT_EQ(Send(3, BuildPacket(60, 1, 1)), 1);
  EXPECT_EQ(state.log.Line(0), "XX Status 1 | Sent -1 of 60 | Send Failed to Bridge from FH\n");
}

TEST_F(TransportTest, ReportsShortUdpSendsOnStandardErrorAndStillSendsOnTcp) {
  transport.AttachBridge(bridge);
  state.options.sendUdp = 1;  // box on, but no socket was opened
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Send(1, BuildPacket(300, 1, 1)), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "sendto() sent incorrect number of bytes: Bad file descriptor\n");
  EXPECT_EQ(Drain(peer.get(), 20ms).size(), 300u);
}

TEST(DeltaSenders, SubscribedLineIsPrefixedIntoTheCallersBufferEvenWhenTheSendFails) {
  FeedState state;
  BridgeTransport transport(state.context);
  char line[512] = ",500112|71000";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(transport.SendDeltaSubscribed(4, line, sizeof line), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "sendto() sent incorrect number of bytes: Bad file descriptor\n");
  EXPECT_STREQ(line, "4,500112|71000");
}

TEST(DeltaSenders, AnEmptyLineIsNotSent) {
  FeedState state;
  BridgeTransport transport(state.context);
  char line[16] = "";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(transport.SendDeltaSubscribed(1, line, sizeof line), 0);
  EXPECT_EQ(transport.SendDeltaAll(1, line), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(line, "");
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

TEST(DeltaSenders, AllDeltaLinesLeaveForSegmentsOneAndTwoOnly) {
  FeedState state;
  BridgeTransport transport(state.context);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(transport.SendDeltaAll(3, ",1|2"), 0);
  EXPECT_EQ(transport.SendDeltaAll(4, ",1|2"), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(transport.SendDeltaAll(2, ",1|2"), 0);  // tried: no socket
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "sendto() sent incorrect number of bytes: Bad file descriptor\n");
}

}  // namespace
}  // namespace fh
