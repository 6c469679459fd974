// The bridge server, the output sockets and the delta broadcasts on real
// sockets. Runs only inside the private network namespace (label "net").
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <thread>

#include "distribution/bridge_server.h"
#include "distribution/output_sockets.h"
#include "fixture.h"

namespace fh {
namespace {

using namespace std::chrono_literals;
using testing::BuildPacket;
using testing::Drain;
using testing::WaitFor;
using testing::WalkPackets;

// A datagram listener on 0.0.0.0:port, optionally a member of a group.
class Listener {
 public:
  explicit Listener(int port, const char* group = nullptr) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    const int one = 1;
    ::setsockopt(fd_.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(::bind(fd_.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (group != nullptr) {
      ip_mreq m{};
      ::inet_pton(AF_INET, group, &m.imr_multiaddr);
      m.imr_interface.s_addr = htonl(INADDR_ANY);
      EXPECT_EQ(::setsockopt(fd_.Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0);
    }
  }
  // The next datagram, or "<none>" after the timeout.
  std::string Next(std::chrono::milliseconds timeout = 2000ms) {
    pollfd p{fd_.Fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "<none>";
    char buf[4096];
    const ssize_t n = ::recv(fd_.Fd(), buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, static_cast<std::size_t>(n));
  }

 private:
  SocketFd fd_;
};

// A Bridge program: connects to the server on loopback.
SocketFd ConnectBridge(int port, int receiveBuffer = 0) {
  SocketFd s(::socket(AF_INET, SOCK_STREAM, 0));
  if (receiveBuffer > 0) ::setsockopt(s.Fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  EXPECT_EQ(::connect(s.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return s;
}

std::string AsText(const std::vector<std::uint8_t>& p) { return std::string(p.begin(), p.end()); }

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state.ports.instancePort = kDialogInstancePort;
    state.options.sendTcp = 1;
  }
  void StartServer() {
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitUntilListening(5000ms));
  }
  // Connects a Bridge and waits until the server took it.
  SocketFd Connect(int receiveBuffer = 0) {
    const auto before = connects.load();
    SocketFd s = ConnectBridge(kDialogInstancePort, receiveBuffer);
    EXPECT_TRUE(WaitFor([&] { return CountLines("Bridge Connected from IP 127.0.0.1\n") > before; }));
    connects = before + 1;
    return s;
  }
  int CountLines(const std::string& text) const {
    int n = 0;
    for (const auto& l : state.log.Lines()) n += l == text;
    return n;
  }
  int Send(int segment, const std::vector<std::uint8_t>& p) {
    return transport.SendToBridges(segment, static_cast<int>(p.size()), p.data());
  }

  testing::FeedState state;
  InstrumentMap instruments;
  BridgeTransport transport{state.context};
  TcpBridgeServer server{state.context, instruments, transport};
  std::atomic<int> connects{0};
};

TEST_F(NetTest, TheServerListensOnTheInstancePortOfEveryLocalAddress) {
  StartServer();
  EXPECT_EQ(server.ListenPort(), 30001);
  EXPECT_EQ(state.LinesInOrder(), (std::vector<std::string>{"Try TCP Server run on 30001\n",
                                                            "TCP Server running on 0.0.0.0 | 30001\n"}));
  EXPECT_FALSE(server.Start());  // one server per run
  EXPECT_EQ(server.LastBridgeAddress(), "");
}

TEST_F(NetTest, TheServerIsNotStartedWhileTheServerRadioIsChosen) {
  state.options.feedHandlerRadio = -1;
  EXPECT_FALSE(server.Start());
}

TEST_F(NetTest, AnAddressThatIsNotLocalFailsTheBindAndEndsTheServer) {
  state.options.serverIp = "10.99.99.99";
  ASSERT_TRUE(server.Start());
  EXPECT_FALSE(server.WaitUntilListening(5000ms));
  EXPECT_EQ(state.log.Line(0), "TCP Bind Failed\n");
  EXPECT_TRUE(state.exit.Codes().empty());
}

TEST_F(NetTest, ABridgeReceivesWholePacketsFromTwoSenderThreadsInTheirOrder) {
  StartServer();
  SocketFd bridge = Connect();
  EXPECT_TRUE(transport.BridgeConnected());
  EXPECT_EQ(server.LastBridgeAddress(), "127.0.0.1");
  constexpr std::uint32_t kEach = 3000;
  std::vector<std::uint8_t> stream;
  std::thread reader([&] { stream = Drain(bridge.Fd(), 500ms); });
  auto sender = [&](int segment) {
    for (std::uint32_t seq = 0; seq < kEach; ++seq) {
      const auto p = BuildPacket(46 + static_cast<int>((seq * 53 + segment) % 1000), static_cast<std::uint8_t>(segment), seq);
      ASSERT_EQ(transport.SendToBridges(segment, static_cast<int>(p.size()), p.data()), 1);
    }
  };
  std::thread a(sender, 1), b(sender, 2);
  a.join();
  b.join();
  reader.join();
  std::size_t packets = 0, tail = 0;
  ASSERT_TRUE(WalkPackets(stream, &packets, &tail));
  EXPECT_EQ(packets, 2 * kEach);
  EXPECT_EQ(tail, 0u);
  EXPECT_TRUE(transport.BridgeConnected());
}

TEST_F(NetTest, ABridgeThatClosesIsDroppedAtTheNextPacketWhoseUdpCopyStillLeaves) {
  StartServer();
  SocketFd bridge = Connect();
  state.options.sendUdp = 1;
  OnUdpClicked(state.context, transport, server.LastBridgeAddress());
  Listener udp(state.ports.udpOutPort);
  bridge.Reset();
  ASSERT_TRUE(WaitFor([&] { return state.log.Line(0) == "========="; }));
  const auto p = BuildPacket(300, 1, 1);
  EXPECT_EQ(Send(2, p), 1);
  ASSERT_TRUE(WaitFor([&] { return !transport.BridgeConnected(); }));
  EXPECT_TRUE(state.Logged("FO Status 1 | Sent -1 of 300 | Send Failed to Bridge from FH\n"));
  EXPECT_EQ(state.log.Line(0), "FO Bridge Dis-Connected\n");
  auto frame = p;
  frame.resize(1024, 0);
  EXPECT_EQ(udp.Next(), AsText(frame));
  EXPECT_EQ(Send(2, p), 0);  // nothing at all until the next Bridge
  EXPECT_EQ(udp.Next(100ms), "<none>");
}

TEST_F(NetTest, ASecondBridgeTakesOverThePacketsWhileTheFirstKeepsSubscribing) {
  state.options.bcastDelta = 1;
  OnBcastDeltaClicked(state.context, transport);
  Listener subscribed(BridgeTransport::kSubscribedDeltaPort);
  StartServer();
  SocketFd first = Connect();
  SocketFd second = Connect();
  const auto p = BuildPacket(120, 1, 7);
  EXPECT_EQ(Send(1, p), 1);
  EXPECT_EQ(Drain(second.Fd(), 200ms), p);
  EXPECT_TRUE(Drain(first.Fd(), 50ms).empty());
  ASSERT_TRUE(testing::WriteAll(first.Fd(), "2,43521|"));
  EXPECT_EQ(subscribed.Next(), "2,43521|-1");
  EXPECT_EQ(server.ClientThreadCount(), 2u);
}

TEST_F(NetTest, SubscriptionsBroadcastTheLastValueOnBothPorts) {
  state.options.bcastDelta = 1;
  OnBcastDeltaClicked(state.context, transport);
  Listener all(BridgeTransport::kAllDeltaPort);
  Listener subscribed(BridgeTransport::kSubscribedDeltaPort);
  instruments.UpdateLastValue(1, 2885, 1234);
  StartServer();
  SocketFd bridge = Connect();
  ASSERT_TRUE(testing::WriteAll(bridge.Fd(), "1,2885|2,4352"));
  ASSERT_TRUE(testing::WriteAll(bridge.Fd(), "1|6,500112|1,5|"));
  EXPECT_EQ(all.Next(), ",2885|1234");
  EXPECT_EQ(all.Next(), ",43521|-1");
  EXPECT_EQ(all.Next(), ",5|-1");  // nothing for the BSE request between
  EXPECT_EQ(subscribed.Next(), "1,2885|1234");
  EXPECT_EQ(subscribed.Next(), "2,43521|-1");
  EXPECT_EQ(subscribed.Next(), "4,500112|-1");
  EXPECT_EQ(subscribed.Next(), "1,5|-1");
  EXPECT_EQ(instruments.UpdateLastValue(4, 500112, 71000), 1);
}

TEST_F(NetTest, DeltaSocketsAreClosedWhenTheBoxIsCleared) {
  state.options.bcastDelta = 1;
  OnBcastDeltaClicked(state.context, transport);
  Listener subscribed(BridgeTransport::kSubscribedDeltaPort);
  char line[64] = ",1|2";
  EXPECT_EQ(transport.SendDeltaSubscribed(2, line, sizeof line), 0);
  EXPECT_EQ(subscribed.Next(), "2,1|2");
  state.options.bcastDelta = 0;
  OnBcastDeltaClicked(state.context, transport);
  char again[64] = ",1|3";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(transport.SendDeltaSubscribed(2, again, sizeof again), -1);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(subscribed.Next(100ms), "<none>");
}

TEST_F(NetTest, UdpFramesAre1024BytesToTheBridgesAddressAtTheClick) {
  StartServer();
  SocketFd bridge = Connect();
  state.options.sendUdp = 1;
  OnUdpClicked(state.context, transport, server.LastBridgeAddress());
  EXPECT_TRUE(transport.HasUdpOutput());
  Listener udp(state.ports.udpOutPort);
  const auto shortPacket = BuildPacket(300, 1, 1);
  const auto longPacket = BuildPacket(1100, 2, 2);
  EXPECT_EQ(Send(1, shortPacket), 1);
  EXPECT_EQ(Send(1, longPacket), 1);
  const std::string first = udp.Next();
  ASSERT_EQ(first.size(), 1024u);
  EXPECT_EQ(first.substr(0, 300), AsText(shortPacket));
  EXPECT_EQ(first.substr(300), std::string(724, '\0'));
  EXPECT_EQ(udp.Next(), AsText(longPacket).substr(0, 1024));
  auto both = shortPacket;
  both.insert(both.end(), longPacket.begin(), longPacket.end());
  EXPECT_EQ(Drain(bridge.Fd(), 100ms), both);  // whole on TCP

  state.options.sendUdp = 0;
  OnUdpClicked(state.context, transport, server.LastBridgeAddress());
  EXPECT_FALSE(transport.HasUdpOutput());
}

TEST_F(NetTest, UdpClickedBeforeAnyBridgeReachesNoOne) {
  state.options.sendUdp = 1;
  OnUdpClicked(state.context, transport, "");
  EXPECT_TRUE(transport.HasUdpOutput());
  EXPECT_TRUE(state.exit.Codes().empty());
  StartServer();
  SocketFd bridge = Connect();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Send(1, BuildPacket(100, 1, 1)), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "sendto() sent incorrect number of bytes: Destination address required\n");
  EXPECT_EQ(Drain(bridge.Fd(), 100ms).size(), 100u);
}

TEST_F(NetTest, MulticastFramesLeaveForTheCapitalMarketOnly) {
  state.options.sendMcast = 1;
  state.options.segNfo = 1;
  OnMcastClicked(state.context, transport);
  EXPECT_FALSE(transport.HasMcastOutput(1));
  EXPECT_EQ(state.log.Size(), 0u);

  state.options.segNcm = 1;
  OnMcastClicked(state.context, transport);
  EXPECT_TRUE(transport.HasMcastOutput(1));
  EXPECT_EQ(state.log.Line(0), "MCast Socket Created for ExgSeg=1!!!");
  Listener mcast(state.ports.mcastOutPort, kMcastGroupNcm);
  StartServer();
  SocketFd bridge = Connect();
  const auto fo = BuildPacket(200, 2, 1);
  const auto cm = BuildPacket(1500, 1, 2);
  EXPECT_EQ(Send(2, fo), 1);
  EXPECT_EQ(Send(1, cm), 1);
  EXPECT_EQ(mcast.Next(), AsText(cm).substr(0, 1024));  // the F&O packet had no socket

  state.options.sendMcast = 0;
  OnMcastClicked(state.context, transport);
  EXPECT_FALSE(transport.HasMcastOutput(1));
}

TEST_F(NetTest, StopEndsTheClientThreadsPromptlyInTheMiddleOfARequestFlood) {
  StartServer();
  SocketFd a = Connect();
  SocketFd b = Connect();
  std::string flood;
  for (int i = 1; i <= 20000; ++i) flood += "1," + std::to_string(i) + "|";
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    while (writing && testing::WriteAll(a.Fd(), flood)) {
    }
  });
  ASSERT_TRUE(WaitFor([&] { return instruments.KeyCount() > 100; }));
  const auto t0 = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  const std::size_t keys = instruments.KeyCount();
  EXPECT_EQ(server.ClientThreadCount(), 0u);
  EXPECT_EQ(CountLines("========="), 2);
  char byte;
  EXPECT_EQ(::recv(b.Fd(), &byte, 1, 0), 0);
  writing = false;
  a.Reset();  // ends the writer's send
  writer.join();
  EXPECT_EQ(instruments.KeyCount(), keys);  // nothing handled after the stop
}

TEST_F(NetTest, TheListenAddressAndTheAllowListAreTheServersOwn) {
  BridgeServerSettings settings;
  settings.listenAddress = "127.0.0.1";
  std::string error;
  ASSERT_TRUE(BridgeAllowList::Parse("10.0.0.0/8, 192.168.1.7", &settings.allow, &error));
  TcpBridgeServer guarded(state.context, instruments, transport, settings);
  ASSERT_TRUE(guarded.Start());
  ASSERT_TRUE(guarded.WaitUntilListening(5000ms));
  EXPECT_EQ(state.log.Line(0), "TCP Server running on 127.0.0.1 | 30001\n");
  SocketFd refused = ConnectBridge(kDialogInstancePort);
  char byte;
  EXPECT_EQ(::recv(refused.Fd(), &byte, 1, 0), 0);  // closed at once
  EXPECT_EQ(state.log.Line(0), "Bridge from 127.0.0.1 refused: not in the allow-list\n");
  EXPECT_FALSE(transport.BridgeConnected());
  EXPECT_EQ(guarded.LastBridgeAddress(), "");
}

}  // namespace
}  // namespace fh
