// The bridge server, the output sockets and the delta broadcasts on real
// sockets. Runs only inside the private network namespace (label "net").
#include <thread>

#include "distribution/bridge_server.h"
#include "distribution/output_sockets.h"
#include "fixture.h"

namespace fh {
namespace {

using namespace std::chrono_literals;
using namespace testing;

// A datagram listener on 0.0.0.0:port, a member of group when one is given.
SocketFd Listen(int port, const char* group = nullptr) {
  SocketFd s(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in a{};
  MakeAddress("0.0.0.0", port, &a);
  EXPECT_EQ(::bind(s.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ip_mreq m{};  // on any interface
  if (group != nullptr && ::inet_pton(AF_INET, group, &m.imr_multiaddr) == 1) {
    EXPECT_EQ(::setsockopt(s.Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0);
  }
  return s;
}

// The next datagram, or "" when none comes within quiet.
std::string Next(const SocketFd& listener, std::chrono::milliseconds quiet = 2s) {
  const auto d = Drain(listener.Fd(), quiet, 1);
  return {d.begin(), d.end()};
}

std::string AsText(const std::vector<std::uint8_t>& p) { return {p.begin(), p.end()}; }

class NetTest : public ::testing::Test, protected TransportRig {
 protected:
  void SetUp() override {
    state.ports.instancePort = kDialogInstancePort;
    state.options.sendTcp = 1;
  }
  void StartServer() {
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitUntilListening(5000ms));
  }
  // A Bridge program on loopback; waits until the server took it.
  SocketFd Connect(bool taken = true) {
    const std::size_t before = CountLines("Bridge Connected from IP 127.0.0.1\n");
    SocketFd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    MakeAddress("127.0.0.1", kDialogInstancePort, &a);
    EXPECT_EQ(::connect(s.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_TRUE(!taken || WaitFor([&] { return CountLines("Bridge Connected from IP 127.0.0.1\n") > before; }));
    return s;
  }
  std::size_t CountLines(const std::string& text) const { return state.LinesContaining(text).size(); }

  InstrumentMap instruments;
  TcpBridgeServer server{state.context, instruments, transport};
};

TEST_F(NetTest, TheServerBindsTheChosenAddressOnTheInstancePortOnceAndNotForTheServerRadio) {
  state.options.feedHandlerRadio = -1;
  EXPECT_FALSE(server.Start());
  struct Case { const char *serverIp, *listenAddress; bool listening; const char* line; };
  for (const Case& c : {Case{"127.0.0.1", "", true, "TCP Server running on 0.0.0.0 | 30001\n"},
                        Case{"127.0.0.1", "127.0.0.1", true, "TCP Server running on 127.0.0.1 | 30001\n"},
                        Case{"10.99.99.99", "", false, "TCP Bind Failed\n"}}) {
    SCOPED_TRACE(c.line);
    FeedState fresh;
    fresh.ports.instancePort = kDialogInstancePort;
    fresh.options.serverIp = c.serverIp;
    TcpBridgeServer s(fresh.context, instruments, transport, BridgeServerSettings{c.listenAddress, {}});
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.WaitUntilListening(5000ms), c.listening);
    EXPECT_EQ(fresh.LinesInOrder(), (Lines{"Try TCP Server run on 30001\n", c.line}));
    EXPECT_FALSE(s.Start());  // one server per run
    EXPECT_TRUE(fresh.exit.Codes().empty());
  }
}

TEST_F(NetTest, ASecondBridgeTakesOverThePacketsWhileTheFirstKeepsSubscribingOnBothPorts) {
  state.options.bcastDelta = 1;
  OnBcastDeltaClicked(state.context, transport);
  const SocketFd all = Listen(BridgeTransport::kAllDeltaPort);
  const SocketFd subscribed = Listen(BridgeTransport::kSubscribedDeltaPort);
  instruments.UpdateLastValue(1, 2885, 1234);
  StartServer();
  SocketFd first = Connect();
  const auto before = BuildPacket(120, 1, 6);
  EXPECT_EQ(Send(1, before), 1);
  SocketFd second = Connect();
  const auto after = BuildPacket(120, 1, 7);
  EXPECT_EQ(Send(1, after), 1);
  EXPECT_EQ(Drain(second.Fd(), 2s, after.size()), after);
  EXPECT_EQ(Drain(first.Fd(), 200ms), before);  // what was queued for it, nothing after
  EXPECT_EQ(server.ClientThreadCount(), 2u);
  EXPECT_EQ(state.metrics.bridgeAccepted.Get(), 2u);
  ASSERT_TRUE(WriteAll(first.Fd(), "1,2885|2,43521|6,500112|1,5|"));
  for (const char* line : {",2885|1234", ",43521|-1", ",5|-1"}) EXPECT_EQ(Next(all), line);  // none for BSE
  for (const char* line : {"1,2885|1234", "2,43521|-1", "4,500112|-1", "1,5|-1"}) EXPECT_EQ(Next(subscribed), line);

  state.options.bcastDelta = 0;  // the box cleared: both sockets closed
  OnBcastDeltaClicked(state.context, transport);
  char line[64] = ",1|3";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(transport.SendDeltaSubscribed(2, line, sizeof line), -1);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Next(subscribed, 100ms), "");
}

TEST_F(NetTest, FramesOf1024BytesGoToTheBridgesAddressAndToTheCapitalMarketGroupAndOutliveTheTcpFailure) {
  StartServer();
  state.options.sendUdp = 1;
  OnUdpClicked(state.context, transport, "");  // before any Bridge: reaches no one
  EXPECT_TRUE(state.exit.Codes().empty());
  SocketFd bridge = Connect();
  const auto shortPacket = BuildPacket(300, 1, 1);
  const auto longPacket = BuildPacket(1100, 2, 2);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Send(1, shortPacket), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "sendto() sent incorrect number of bytes: Destination address required\n");
  OnUdpClicked(state.context, transport, server.LastBridgeAddress());  // the address at the click
  state.options.sendMcast = 1;
  state.options.segNfo = 1;
  OnMcastClicked(state.context, transport);  // F&O alone gets no socket
  EXPECT_FALSE(transport.HasMcastOutput(1));
  EXPECT_EQ(CountLines("MCast"), 0u);
  state.options.segNcm = 1;
  OnMcastClicked(state.context, transport);
  EXPECT_EQ(state.log.Line(0), "MCast Socket Created for ExgSeg=1!!!");
  const SocketFd udp = Listen(state.ports.udpOutPort), mcast = Listen(30022, "233.1.2.1");
  EXPECT_EQ(Send(2, longPacket), 1);
  EXPECT_EQ(Send(1, shortPacket), 1);
  const std::string shortFrame = AsText(shortPacket) + std::string(724, '\0');
  EXPECT_EQ(Next(udp), AsText(longPacket).substr(0, 1024));
  EXPECT_EQ(Next(udp), shortFrame);
  EXPECT_EQ(Next(mcast), shortFrame);  // nothing for the F&O packet
  EXPECT_EQ(AsText(Drain(bridge.Fd(), 2s, 1700)), AsText(shortPacket) + AsText(longPacket) + AsText(shortPacket));

  bridge.Reset();  // the Bridge goes: the packet that finds it gone still leaves on UDP and multicast
  ASSERT_TRUE(WaitFor([&] { return state.log.Line(0) == "========="; }));
  EXPECT_EQ(Send(1, shortPacket), 1);
  ASSERT_TRUE(WaitFor([&] { return !transport.BridgeConnected(); }));
  EXPECT_EQ(Next(udp), shortFrame);
  EXPECT_EQ(Next(mcast), shortFrame);
  EXPECT_EQ(Send(1, shortPacket), 0);  // nothing at all until the next Bridge

  state.options.sendUdp = 0;
  state.options.sendMcast = 0;
  OnUdpClicked(state.context, transport, server.LastBridgeAddress());
  OnMcastClicked(state.context, transport);
  EXPECT_FALSE(transport.HasUdpOutput());
  EXPECT_FALSE(transport.HasMcastOutput(1));
}

TEST_F(NetTest, StopEndsTheClientThreadsPromptlyInTheMiddleOfARequestFlood) {
  StartServer();
  SocketFd a = Connect();
  SocketFd b = Connect();
  std::string flood;
  for (int i = 1; i <= 20000; ++i) flood += "1," + std::to_string(i) + "|";
  std::jthread writer([&] {
    while (WriteAll(a.Fd(), flood)) {
    }
  });
  ASSERT_TRUE(WaitFor([&] { return instruments.KeyCount() > 100; }));
  const auto t0 = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_EQ(server.ClientThreadCount(), 0u);
  EXPECT_EQ(CountLines("========="), 2u);
  char byte;
  EXPECT_EQ(::recv(b.Fd(), &byte, 1, 0), 0);
  ::shutdown(a.Fd(), SHUT_RDWR);  // ends the writer's send: joined on the way out
}

TEST_F(NetTest, APeerOutsideTheAllowListIsClosedAtOnce) {
  BridgeServerSettings settings;
  ASSERT_TRUE(BridgeAllowList::Parse("10.0.0.0/8, 192.168.1.7", &settings.allow, nullptr));
  TcpBridgeServer guarded(state.context, instruments, transport, settings);
  ASSERT_TRUE(guarded.Start());
  ASSERT_TRUE(guarded.WaitUntilListening(5000ms));
  SocketFd refused = Connect(false);
  char byte;
  EXPECT_EQ(::recv(refused.Fd(), &byte, 1, 0), 0);
  EXPECT_EQ(state.log.Line(0), "Bridge from 127.0.0.1 refused: not in the allow-list\n");
  EXPECT_FALSE(transport.BridgeConnected());
  EXPECT_EQ(guarded.LastBridgeAddress(), "");
  EXPECT_EQ(state.metrics.bridgeRefused.Get(), 1u);
  EXPECT_EQ(state.metrics.bridgeAccepted.Get(), 0u);
}

}  // namespace
}  // namespace fh
