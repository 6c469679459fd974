// The BSE receiver on a real socket. Runs in the private network namespace.
#include "bse/bse_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bse/bse_decoder.h"
#include "instruments/instrument_map.h"
#include "support/feed_state.h"
#include "support/fuzz_corpus.h"
#include "support/recording_output.h"

namespace fh {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using testing::WaitFor;

// A block as the feed lays it out, little-endian: tag (4 bytes at 0), payload
// length L (4 at 4), then L payload bytes beginning with the 32-bit message
// type. declared, when set, is written as L instead (a lie).
Bytes Block(std::int32_t type, int payload, std::int64_t declared = -1) {
  Bytes b(8 + static_cast<std::size_t>(payload), 0);
  const auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put32(4, static_cast<std::uint32_t>(declared >= 0 || declared < -1 ? declared : payload));
  put32(8, static_cast<std::uint32_t>(type));
  for (std::size_t i = 12; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return b;
}

Bytes Join(std::initializer_list<Bytes> blocks) {
  Bytes d;
  for (const Bytes& b : blocks) d.insert(d.end(), b.begin(), b.end());
  return d;
}

// The forwarded packet's transaction code: 16 bits little-endian at 16.
int TransactionCode(const std::string& packet) {
  return static_cast<std::uint8_t>(packet[16]) | static_cast<std::uint8_t>(packet[17]) << 8;
}

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

BseReceiverArgs Args(const char* address, int port) {
  BseReceiverArgs args;
  std::snprintf(args.groupIp, sizeof args.groupIp, "%s", address);
  args.port = port;
  return args;
}

std::string Format(const char* format, const char* text, int port) {
  char line[128];
  std::snprintf(line, sizeof line, format, text, port);
  return line;
}

class BseReceiverTest : public ::testing::Test {
 protected:
  std::unique_ptr<BseReceiverThread> Start(const BseReceiverArgs& args) {
    return std::make_unique<BseReceiverThread>(feed.context, decoder, output, args);
  }
  std::unique_ptr<BseReceiverThread> StartRunning() {
    auto receiver = Start(Args("127.0.0.1", port));
    EXPECT_TRUE(WaitFor([&] { return receiver->CurrentState() != BseReceiverThread::State::kStarting; }));
    EXPECT_EQ(receiver->CurrentState(), BseReceiverThread::State::kRunning);
    return receiver;
  }
  bool Ended(const BseReceiverThread& r) const {
    return WaitFor([&] { return r.CurrentState() == BseReceiverThread::State::kEnded; });
  }

  testing::FeedState feed;
  InstrumentMap instruments;
  testing::RecordingOutput output;
  BseDecoder decoder{feed.context, instruments, output};
  int port = FreePort();
};

TEST_F(BseReceiverTest, DatagramOfThreeBlocksGivesThreePacketsInOrder) {
  auto receiver = StartRunning();
  EXPECT_EQ(feed.LinesContaining("Server running on"),
            std::vector<std::string>{Format("Server running on %s | %d\n", "127.0.0.1", port)});
  EXPECT_GT(receiver->GrantedReceiveBuffer(), 0);

  Sender(port).Send(Join({Block(1901, 40), Block(1907, 12), Block(1909, 132)}));
  ASSERT_TRUE(output.WaitPackets(3));
  receiver->Stop();

  const auto packets = output.Packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(TransactionCode(packets[0]), 1901);
  EXPECT_EQ(TransactionCode(packets[1]), 1907);
  EXPECT_EQ(TransactionCode(packets[2]), 1909);
  EXPECT_EQ(packets[2].size(), 178u);
  EXPECT_EQ(decoder.Count(1909), 1u);
}

TEST_F(BseReceiverTest, MalformedDatagramsAndTheFuzzSeedsLeaveTheReceiverDecoding) {
  auto receiver = StartRunning();
  Sender sender(port);
  const Bytes good = Block(1907, 12);
  sender.Send(Join({good, Block(1902, 8, 4000)}));  // lying length
  sender.Send(Join({good, Block(1902, 8, -8)}));    // would walk back
  sender.Send(Join({good, Bytes{1, 2, 3}}));        // truncated header
  sender.Send(Bytes{});                             // empty
  ASSERT_TRUE(WaitFor([&] { return feed.LinesContaining("Block PktNo: 2").size() == 3; }));
  EXPECT_EQ(decoder.Count(1907), 3u);
  EXPECT_EQ(feed.LinesContaining("Udp Received"),
            (std::vector<std::string>{"Udp Received Bad Block PktNo: 2| Offset:20| Length:4000| Total:36",
                                      "Udp Received Bad Block PktNo: 2| Offset:20| Length:-8| Total:36",
                                      "Udp Received Short Block PktNo: 2| Offset:20| Total:23"}));

  const auto corpus = testing::ReadCorpus("fuzz_bse_walk");
  ASSERT_GE(corpus.size(), 10u) << FH_FUZZ_CORPUS;
  for (const auto& input : corpus) sender.Send(input.bytes);
  sender.Send(Join({Block(1913, 20), Block(1914, 30)}));

  // Types the decoder does not know are still forwarded: the last packet shows
  // the receiver got through every seed.
  ASSERT_TRUE(WaitFor([&] {
    const auto packets = output.Packets();
    return !packets.empty() && TransactionCode(packets.back()) == 1914 && packets.back().size() == 76u;
  }));
  EXPECT_EQ(receiver->CurrentState(), BseReceiverThread::State::kRunning);
  receiver->Stop();
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(BseReceiverTest, BindFailureLogsNamesTheReceiverAndEndsOnlyTheThread) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

  struct Case {
    const char* address;
    int port;
    const char* bound;  // the address as the log line shows it
  };
  // A port held by another socket, a text of four numbers that is no address,
  // a port beyond 16 bits.
  const Case cases[] = {{"127.0.0.1", port, "127.0.0.1"},
                        {"300.1.2.3", port, "255.255.255.255"},
                        {"127.0.0.1", 65536 + port, "127.0.0.1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address + std::string("|") + std::to_string(c.port));
    testing::FeedState fresh;
    ::testing::internal::CaptureStderr();
    BseReceiverThread receiver(fresh.context, decoder, output, Args(c.address, c.port));
    ASSERT_TRUE(Ended(receiver));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              Format("BSE receiver %s|%d : Could not bind name to socket.\n", c.address, c.port));
    EXPECT_EQ(fresh.LinesContaining("Server"),
              std::vector<std::string>{Format("Server Failed to Bind on %s | %d\n", c.bound, c.port)});
    EXPECT_TRUE(fresh.exit.Codes().empty());
  }
  ::close(holder);
}

TEST_F(BseReceiverTest, AddressTextOfFewerThanFourNumbersEndsTheProgramWithUsage) {
  ::testing::internal::CaptureStderr();
  auto receiver = Start(Args("localhost", port));
  ASSERT_TRUE(Ended(*receiver));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "timeserv [server_address] port\n");
  EXPECT_EQ(feed.exit.Codes(), std::vector<int>{0});
  EXPECT_EQ(feed.log.Size(), 0u);
}

TEST_F(BseReceiverTest, StopEndsABlockedReceivePromptlyAndFreesThePort) {
  auto receiver = StartRunning();
  const auto before = std::chrono::steady_clock::now();
  receiver->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_EQ(receiver->CurrentState(), BseReceiverThread::State::kEnded);
  receiver->Stop();  // a second stop is harmless
  auto again = StartRunning();
  again.reset();
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(BseReceiverTest, StopRightAfterTheStartEndsCleanly) {
  for (int i = 0; i < 50; ++i) {
    auto receiver = Start(Args("127.0.0.1", port));
    receiver->Stop();
    EXPECT_EQ(receiver->CurrentState(), BseReceiverThread::State::kEnded);
  }
  EXPECT_TRUE(feed.exit.Codes().empty());
}

}  // namespace
}  // namespace fh
