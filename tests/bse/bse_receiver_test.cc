// The BSE receiver on a real socket. Runs in the private network namespace.
#include "bse/bse_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "bse_test_support.h"
#include "distribution/forwarded_packet.h"

namespace fh {
namespace {

using namespace std::chrono_literals;
using testing::BlockOfPayload;
using testing::BseBlock;
using testing::Bytes;
using testing::Datagram;
using testing::TestFeed;

// A UDP port on 127.0.0.1 that nothing holds right now.
int FreePort() {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

class Sender {
 public:
  explicit Sender(int port) : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<std::uint16_t>(port));
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~Sender() { ::close(socket_); }
  void Send(const Bytes& d) {
    ASSERT_EQ(::sendto(socket_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_),
              static_cast<ssize_t>(d.size()));
  }

 private:
  int socket_;
  sockaddr_in to_{};
};

template <class Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

BseReceiverArgs Args(const char* address, int port) {
  BseReceiverArgs args;
  std::snprintf(args.groupIp, sizeof args.groupIp, "%s", address);
  args.port = port;
  return args;
}

class BseReceiverTest : public ::testing::Test {
 protected:
  std::unique_ptr<BseReceiverThread> Start(const BseReceiverArgs& args) {
    return std::make_unique<BseReceiverThread>(feed.context, feed.decoder, feed.output, args);
  }
  std::unique_ptr<BseReceiverThread> StartRunning() {
    auto receiver = Start(Args("127.0.0.1", port));
    EXPECT_TRUE(WaitFor([&] { return receiver->state() != BseReceiverThread::State::kStarting; }));
    EXPECT_EQ(receiver->state(), BseReceiverThread::State::kRunning);
    return receiver;
  }

  TestFeed feed;
  int port = FreePort();
};

TEST_F(BseReceiverTest, DatagramOfThreeBlocksGivesThreePacketsInOrder) {
  auto receiver = StartRunning();
  char running[64];
  std::snprintf(running, sizeof running, "Server running on 127.0.0.1 | %d\n", port);
  EXPECT_EQ(feed.LinesContaining("Server running on"), std::vector<std::string>{running});
  EXPECT_GT(receiver->GrantedReceiveBuffer(), 0);
  std::printf("BSE receive buffer granted: %d bytes (asked %d)\n", receiver->GrantedReceiveBuffer(),
              kBseSocketBufferSize);

  Sender sender(port);
  const Bytes d = Datagram({BlockOfPayload(1901, 40), BlockOfPayload(1907, 12), BlockOfPayload(1909, 132)});
  sender.Send(d);
  ASSERT_TRUE(feed.output.WaitPackets(3));
  receiver->Stop();

  const auto packets = feed.output.Packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(bse::LoadLe16(packets[0].data() + forwarded::kTransactionCode), 1901);
  EXPECT_EQ(bse::LoadLe16(packets[1].data() + forwarded::kTransactionCode), 1907);
  EXPECT_EQ(bse::LoadLe16(packets[2].data() + forwarded::kTransactionCode), 1909);
  EXPECT_EQ(packets[2].size(), 178u);
  const auto lines = feed.LinesContaining("Udp Received");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Udp Received PktNo: 3| Processed:208| Total:208");
  EXPECT_EQ(feed.decoder.Count(1909), 1u);
}

TEST_F(BseReceiverTest, RecordsEachDatagramBeforeDecodingIt) {
  const std::string path = feed.dir.File("BCASTOUT_BIN_BCM.TXT");
  ASSERT_TRUE(feed.files.Open(4, SegmentFiles::kBinFile, path, "ab+"));
  feed.options.writeBin = 1;
  std::atomic<std::size_t> recordedAtFirstPacket{0};
  feed.output.onPacket = [&] {
    if (recordedAtFirstPacket == 0) recordedAtFirstPacket = testing::ReadFile(path).size();
  };
  auto receiver = StartRunning();
  const Bytes d = Datagram({BlockOfPayload(1902, 56), BlockOfPayload(1907, 12)});
  Sender(port).Send(d);
  ASSERT_TRUE(feed.output.WaitPackets(2));
  receiver->Stop();
  EXPECT_EQ(recordedAtFirstPacket.load(), d.size());
  EXPECT_EQ(testing::ReadFile(path), std::string(d.begin(), d.end()));
}

TEST_F(BseReceiverTest, MalformedDatagramsLeaveTheReceiverDecoding) {
  feed.options.bcastDelta = 1;
  auto receiver = StartRunning();
  Sender sender(port);
  const Bytes good = BlockOfPayload(1907, 12);
  sender.Send(Datagram({good, BseBlock(1902).Length(4000).Build()}));  // lying length
  sender.Send(Datagram({good, BseBlock(1902).Length(-8).Build()}));    // would walk back
  sender.Send(Datagram({good, Bytes{1, 2, 3}}));                       // truncated header
  sender.Send(Bytes{});                                                // empty
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    Bytes junk(random() % bse::kMaxDatagram + 1);
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    sender.Send(junk);
  }
  sender.Send(Datagram({BseBlock(2014).TokenValue(424242, 99).Build(), BlockOfPayload(1909, 132)}));

  ASSERT_TRUE(WaitFor([&] { return feed.decoder.Count(1909) == 1; }));
  EXPECT_EQ(receiver->state(), BseReceiverThread::State::kRunning);
  EXPECT_EQ(feed.decoder.Count(1907), 3u);
  EXPECT_EQ(feed.LinesContaining("Bad Block PktNo: 2| Offset:20| Length:4000").size(), 1u);
  EXPECT_EQ(feed.LinesContaining("Bad Block PktNo: 2| Offset:20| Length:-8").size(), 1u);
  EXPECT_EQ(feed.LinesContaining("Short Block PktNo: 2| Offset:20| Total:23").size(), 1u);
  EXPECT_NE(feed.instruments.Find("4,424242"), nullptr);
  const auto packets = feed.output.Packets();
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(bse::LoadLe16(packets.back().data() + forwarded::kTransactionCode), 1909);
  receiver->Stop();
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(BseReceiverTest, BindFailureLogsAndEndsOnlyTheThread) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

  ::testing::internal::CaptureStderr();
  auto receiver = Start(Args("127.0.0.1", port));
  ASSERT_TRUE(WaitFor([&] { return receiver->state() == BseReceiverThread::State::kEnded; }));
  receiver->Stop();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Could not bind name to socket.\n");
  ::close(holder);

  char failed[64];
  std::snprintf(failed, sizeof failed, "Server Failed to Bind on 127.0.0.1 | %d\n", port);
  EXPECT_EQ(feed.LinesContaining("Server"), std::vector<std::string>{failed});
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(BseReceiverTest, AddressThatIsNoAddressFailsTheBind) {
  ::testing::internal::CaptureStderr();
  auto receiver = Start(Args("300.1.2.3", port));
  ASSERT_TRUE(WaitFor([&] { return receiver->state() == BseReceiverThread::State::kEnded; }));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Could not bind name to socket.\n");
  EXPECT_EQ(feed.LinesContaining("Failed to Bind").size(), 1u);
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(BseReceiverTest, PortBeyondSixteenBitsFailsTheBind) {
  ::testing::internal::CaptureStderr();
  auto receiver = Start(Args("127.0.0.1", 65536 + port));
  ASSERT_TRUE(WaitFor([&] { return receiver->state() == BseReceiverThread::State::kEnded; }));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Could not bind name to socket.\n");
  char failed[64];
  std::snprintf(failed, sizeof failed, "Server Failed to Bind on 127.0.0.1 | %d\n", 65536 + port);
  EXPECT_EQ(feed.LinesContaining("Server"), std::vector<std::string>{failed});
}

TEST_F(BseReceiverTest, AddressTextOfFewerThanFourNumbersEndsTheProgramWithUsage) {
  ::testing::internal::CaptureStderr();
  auto receiver = Start(Args("localhost", port));
  ASSERT_TRUE(WaitFor([&] { return receiver->state() == BseReceiverThread::State::kEnded; }));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "timeserv [server_address] port\n");
  EXPECT_EQ(feed.exit.Codes(), std::vector<int>{0});
  EXPECT_EQ(feed.log.Size(), 0u);
}

TEST_F(BseReceiverTest, StopEndsABlockedReceivePromptly) {
  auto receiver = StartRunning();
  const auto before = std::chrono::steady_clock::now();
  receiver->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_EQ(receiver->state(), BseReceiverThread::State::kEnded);
  receiver->Stop();  // a second stop is harmless
  // The port is free again.
  auto again = StartRunning();
  again.reset();
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(BseReceiverTest, StopRightAfterTheStartEndsCleanly) {
  for (int i = 0; i < 50; ++i) {
    auto receiver = Start(Args("127.0.0.1", port));
    receiver->Stop();
    EXPECT_EQ(receiver->state(), BseReceiverThread::State::kEnded);
  }
  EXPECT_TRUE(feed.exit.Codes().empty());
}

}  // namespace
}  // namespace fh
