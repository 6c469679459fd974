// The bridge server, the output sockets and the delta broadcasts on real
// sockets. Runs only inside the private network namespace (label "net").
#include <gtest/gtest.h>

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
    MakeAddress("0.0.0.0", port, &a);
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
SocketFd ConnectBridge(int port) {
  SocketFd s(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  MakeAddress("127.0.0.1", port, &a);
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
  SocketFd Connect() {
    const std::size_t before = CountLines("Bridge Connected from IP 127.0.0.1\n");
    SocketFd s = ConnectBridge(kDialogInstancePort);
    EXPECT_TRUE(WaitFor([&] { return CountLines("Bridge Connected from IP 127.0.0.1\n") > before; }));
    return s;
  }
  std::size_t CountLines(const std::string& text) const { return state.LinesContaining(text).size(); }
  int Send(int segment, const std::vector<std::uint8_t>& p) {
    return transport.SendToBridges(segment, static_cast<int>(p.size()), p.data());
  }

  testing::FeedState state;
  InstrumentMap instruments;
  BridgeTransport transport{state.context};
  TcpBridgeServer server{state.context, instruments, transport};
};

TEST_F(NetTest, TheServerBindsTheChosenAddressOnTheInstancePortOnce) {
  struct Case {
    const char* serverIp;
    const char* listenAddress;
    bool listening;
    const char* line;
  };
  for (const Case& c : {Case{"127.0.0.1", "", true, "TCP Server running on 0.0.0.0 | 30001\n"},
                        Case{"127.0.0.1", "127.0.0.1", true, "TCP Server running on 127.0.0.1 | 30001\n"},
                        Case{"10.99.99.99", "", false, "TCP Bind Failed\n"}}) {
    SCOPED_TRACE(c.line);
    testing::FeedState fresh;
    fresh.ports.instancePort = kDialogInstancePort;
    fresh.options.serverIp = c.serverIp;
    TcpBridgeServer s(fresh.context, instruments, transport, BridgeServerSettings{c.listenAddress, {}});
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.WaitUntilListening(5000ms), c.listening);
    EXPECT_EQ(fresh.LinesInOrder(), (std::vector<std::string>{"Try TCP Server run on 30001\n", c.line}));
    EXPECT_FALSE(s.Start());  // one server per run
    EXPECT_TRUE(fresh.exit.Codes().empty());
  }
}

TEST_F(NetTest, TheServerIsNotStartedWhileTheServerRadioIsChosen) {
  state.options.feedHandlerRadio = -1;
  EXPECT_FALSE(server.Start());
}

TEST_F(NetTest, ABridgeReceivesWholePacketsFromTwoSenderThreadsInTheirOrder) {
  StartServer();
  SocketFd bridge = Connect();
  EXPECT_EQ(server.LastBridgeAddress(), "127.0.0.1");
  constexpr std::uint32_t kEach = 3000;
  std::size_t total = 0;
  for (std::uint32_t seq = 0; seq < kEach; ++seq) total += 2 * 46 + (seq * 53 + 1) % 1000 + (seq * 53 + 2) % 1000;
  std::vector<std::uint8_t> stream;
  std::thread reader([&] { stream = Drain(bridge.Fd(), 2s, total); });
  auto sender = [&](int segment) {
    for (std::uint32_t seq = 0; seq < kEach; ++seq) {
      const int length = 46 + static_cast<int>((seq * 53 + segment) % 1000);
      const auto p = BuildPacket(length, static_cast<std::uint8_t>(segment), seq);
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

TEST_F(NetTest, ASecondBridgeTakesOverThePacketsWhileTheFirstKeepsSubscribing) {
  state.options.bcastDelta = 1;
  OnBcastDeltaClicked(state.context, transport);
  Listener subscribed(BridgeTransport::kSubscribedDeltaPort);
  StartServer();
  SocketFd first = Connect();
  const auto before = BuildPacket(120, 1, 6);
  EXPECT_EQ(Send(1, before), 1);
  SocketFd second = Connect();
  const auto after = BuildPacket(120, 1, 7);
  EXPECT_EQ(Send(1, after), 1);
  EXPECT_EQ(Drain(second.Fd(), 2s, after.size()), after);
  EXPECT_EQ(Drain(first.Fd(), 2s, before.size()), before);  // what was queued for it, nothing after
  ASSERT_TRUE(testing::WriteAll(first.Fd(), "2,43521|"));
  EXPECT_EQ(subscribed.Next(), "2,43521|-1");
  EXPECT_EQ(server.ClientThreadCount(), 2u);
}

TEST_F(NetTest, SubscriptionsBroadcastTheLastValueOnBothPortsUntilTheBoxIsCleared) {
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

  state.options.bcastDelta = 0;  // the box cleared: both sockets closed
  OnBcastDeltaClicked(state.context, transport);
  char line[64] = ",1|3";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(transport.SendDeltaSubscribed(2, line, sizeof line), -1);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(subscribed.Next(100ms), "<none>");
}

TEST_F(NetTest, UdpFramesAre1024BytesToTheBridgesAddressAtTheClickAndOutliveItsTcpFailure) {
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
  EXPECT_EQ(Drain(bridge.Fd(), 2s, both.size()), both);  // whole on TCP

  bridge.Reset();  // the Bridge goes: the packet that finds it gone still leaves on UDP
  ASSERT_TRUE(WaitFor([&] { return state.log.Line(0) == "========="; }));
  EXPECT_EQ(Send(2, shortPacket), 1);
  ASSERT_TRUE(WaitFor([&] { return !transport.BridgeConnected(); }));
  EXPECT_TRUE(state.Logged("FO Status 1 | Sent -1 of 300 | Send Failed to Bridge from FH\n"));
  EXPECT_EQ(state.log.Line(0), "FO Bridge Dis-Connected\n");
  EXPECT_EQ(udp.Next(), first);
  EXPECT_EQ(Send(2, shortPacket), 0);  // nothing at all until the next Bridge
  EXPECT_EQ(udp.Next(100ms), "<none>");

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
  EXPECT_EQ(Drain(bridge.Fd(), 2s, 100).size(), 100u);
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
  Listener mcast(30022, "233.1.2.1");
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
  EXPECT_EQ(server.ClientThreadCount(), 0u);
  EXPECT_EQ(CountLines("========="), 2u);
  char byte;
  EXPECT_EQ(::recv(b.Fd(), &byte, 1, 0), 0);
  writing = false;
  ::shutdown(a.Fd(), SHUT_RDWR);  // ends the writer's send
  writer.join();
}

TEST_F(NetTest, APeerOutsideTheAllowListIsClosedAtOnce) {
  BridgeServerSettings settings;
  ASSERT_TRUE(BridgeAllowList::Parse("10.0.0.0/8, 192.168.1.7", &settings.allow, nullptr));
  TcpBridgeServer guarded(state.context, instruments, transport, settings);
  ASSERT_TRUE(guarded.Start());
  ASSERT_TRUE(guarded.WaitUntilListening(5000ms));
  SocketFd refused = ConnectBridge(kDialogInstancePort);
  char byte;
  EXPECT_EQ(::recv(refused.Fd(), &byte, 1, 0), 0);
  EXPECT_EQ(state.log.Line(0), "Bridge from 127.0.0.1 refused: not in the allow-list\n");
  EXPECT_FALSE(transport.BridgeConnected());
  EXPECT_EQ(guarded.LastBridgeAddress(), "");
}

}  // namespace
}  // namespace fh
