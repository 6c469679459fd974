// BSE blocks reach a real Bridge over the TCP bridge server. Runs in the
// private network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bse/bse_receiver.h"
#include "bse_feed.h"
#include "distribution/bridge_server.h"
#include "distribution/bridge_transport.h"
#include "distribution/forwarded_packet.h"

namespace fh::testing {
namespace {

using namespace std::chrono_literals;

int FreePort(int type) {
  const int s = ::socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

// Reads whole forwarded packets off the Bridge's stream, each cut by the
// length at offset 44, until count arrived or the time ran out.
std::vector<Bytes> ReadPackets(int socket, std::size_t count) {
  std::vector<Bytes> packets;
  Bytes stream;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (packets.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd p{socket, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    std::uint8_t buf[4096];
    const ssize_t n = ::recv(socket, buf, sizeof buf, 0);
    if (n <= 0) break;
    stream.insert(stream.end(), buf, buf + n);
    while (stream.size() >= forwarded::kHeaderSize) {
      const auto length = static_cast<std::uint16_t>(bse::LoadLe16(stream.data() + forwarded::kPacketLength));
      if (length < forwarded::kHeaderSize || stream.size() < length) break;
      packets.emplace_back(stream.begin(), stream.begin() + length);
      stream.erase(stream.begin(), stream.begin() + length);
    }
  }
  return packets;
}

TEST(BseToBridge, ABridgeReceivesTheThreeBlocksOfADatagramInOrder) {
  BseFeed feed;
  feed.ports.instancePort = FreePort(SOCK_STREAM);
  feed.options.sendTcp = 1;
  BridgeTransport transport(feed.context);
  TcpBridgeServer server(feed.context, feed.instruments, transport);
  bse::BseDecoder decoder(feed.context, feed.instruments, transport);
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitUntilListening(5000ms));

  const int bridge = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in serverAddress = Loopback(feed.ports.instancePort);
  ASSERT_EQ(::connect(bridge, reinterpret_cast<const sockaddr*>(&serverAddress), sizeof serverAddress), 0);
  ASSERT_TRUE(WaitFor([&] { return transport.BridgeConnected(); }));

  const int bsePort = FreePort(SOCK_DGRAM);
  BseReceiverArgs args;
  args.port = bsePort;
  BseReceiverThread receiver(feed.context, decoder, transport, args);
  ASSERT_TRUE(WaitFor([&] { return receiver.CurrentState() != BseReceiverThread::State::kStarting; }));
  ASSERT_EQ(receiver.CurrentState(), BseReceiverThread::State::kRunning);

  const Bytes blocks[] = {BlockOfPayload(1901, 40), BlockOfPayload(1907, 12), BlockOfPayload(1909, 132)};
  const Bytes d = Datagram({blocks[0], blocks[1], blocks[2]});
  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = Loopback(bsePort);
  ASSERT_EQ(::sendto(sender, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(d.size()));

  const std::vector<Bytes> packets = ReadPackets(bridge, 3);
  receiver.Stop();
  server.Stop();
  ::close(sender);
  ::close(bridge);

  ASSERT_EQ(packets.size(), 3u);
  const std::int16_t codes[] = {1901, 1907, 1909};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Bytes& p = packets[i];
    EXPECT_EQ(bse::LoadLe16(p.data() + forwarded::kExchangeCode), forwarded::kExchangeBse);
    EXPECT_EQ(bse::LoadLe16(p.data() + forwarded::kSegmentCode), forwarded::kSegmentCm);
    EXPECT_EQ(bse::LoadLe16(p.data() + forwarded::kTransactionCode), codes[i]);
    EXPECT_EQ(p.size(), blocks[i].size() - bse::block::kHeaderSize + forwarded::kHeaderSize);
    EXPECT_TRUE(std::equal(p.begin() + forwarded::kBodyAt, p.end(), blocks[i].begin() + bse::block::kPayloadAt));
  }
  EXPECT_TRUE(feed.exit.Codes().empty());
}

}  // namespace
}  // namespace fh::testing
