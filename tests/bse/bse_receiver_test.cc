// The BSE receiver on a real socket. Runs in the private network namespace.
#include "bse/bse_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bse/bse_decoder.h"
#include "feedstate/exg_seg.h"
#include "instruments/instrument_map.h"
#include "support/bse_block.h"
#include "support/feed_state.h"
#include "support/fuzz_corpus.h"
#include "support/recording_output.h"

namespace fh {
namespace {

using testing::BlockOfPayload;
using testing::Bytes;
using testing::Datagram;
using testing::WaitFor;

// The forwarded packet's transaction code: 16 bits little-endian at 16.
int TransactionCode(const std::string& packet) {
  return static_cast<std::uint8_t>(packet[16]) | static_cast<std::uint8_t>(packet[17]) << 8;
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A UDP port on 127.0.0.1 that nothing holds right now.
int FreePort() {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(0);
  (void)::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);  // port 0: the system picks a free one
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
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
    return std::make_unique<BseReceiverThread>(feed.context, decoder, output, args);
  }
  std::unique_ptr<BseReceiverThread> StartRunning() {
    auto receiver = Start(Args("127.0.0.1", port));
    EXPECT_TRUE(WaitFor([&] { return receiver->CurrentState() != BseReceiverThread::State::kStarting; }));
    EXPECT_EQ(receiver->CurrentState(), BseReceiverThread::State::kRunning);
    return receiver;
  }

  testing::FeedState feed;
  InstrumentMap instruments;
  testing::RecordingOutput output;
  BseDecoder decoder{feed.context, instruments, output};
  int port = FreePort();
};

// Datagrams sent back to back, good, malformed (a lying block length, the fuzz
// seeds) and empty: the receiver takes them in batches, forwards every block
// in order, keeps decoding, and has each one in the recording before its next
// receive.
TEST_F(BseReceiverTest, DatagramsSentBackToBackAreForwardedInOrderAndRecorded) {
  const std::string path = feed.dir.File("BCASTOUT_BIN_BCM.TXT");
  ASSERT_TRUE(feed.files.Open(kSegBcm, SegmentFiles::kBinFile, path, "ab+"));
  feed.options.writeBin = 1;
  auto receiver = StartRunning();
  EXPECT_EQ(feed.LinesContaining("Server running on"),
            std::vector<std::string>{"Server running on 127.0.0.1 | " + std::to_string(port) + "\n"});
  EXPECT_GT(receiver->GrantedReceiveBuffer(), 0);

  std::vector<Bytes> sent = {Datagram({BlockOfPayload(1901, 40), BlockOfPayload(1907, 12), BlockOfPayload(1909, 132)}),
                             Datagram({BlockOfPayload(1907, 12), testing::BseBlock(1902).Head(0).Length(4000).Build()}),
                             {}};
  const auto corpus = testing::ReadCorpus("fuzz_bse_walk");
  ASSERT_GE(corpus.size(), 10u) << FH_FUZZ_CORPUS;
  for (const auto& input : corpus) sent.push_back(input.bytes);
  sent.push_back(Datagram({BlockOfPayload(1913, 20), BlockOfPayload(1914, 30)}));
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = Loopback(port);
  std::string recorded;
  std::uint64_t nonEmpty = 0;
  for (const Bytes& d : sent) {
    nonEmpty += d.empty() ? 0 : 1;
    ASSERT_EQ(::sendto(s, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(d.size()));
    recorded.append(d.begin(), d.end());
  }
  ::close(s);
  ASSERT_TRUE(WaitFor([&] { return testing::ReadFile(path) == recorded; }));

  const auto packets = output.Packets();
  ASSERT_GE(packets.size(), 6u);
  const int first[] = {1901, 1907, 1909, 1907};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(TransactionCode(packets[i]), first[i]) << i;
  EXPECT_EQ(packets[2].size(), 178u);
  // Types the decoder does not know are forwarded too.
  EXPECT_EQ(TransactionCode(packets.back()), 1914);
  EXPECT_EQ(packets.back().size(), 76u);
  EXPECT_EQ(decoder.Count(1909), 1u);
  EXPECT_TRUE(feed.Logged("Udp Received Bad Block PktNo: 2| Offset:20| Length:4000| Total:32"));
  const FeedMetrics::Segment& bcm = feed.metrics.Of(kSegBcm);
  EXPECT_EQ(bcm.datagrams.Get(), nonEmpty);
  EXPECT_EQ(bcm.bytes.Get(), recorded.size());
  EXPECT_EQ(bcm.recordedBytes.Get(), recorded.size());
  EXPECT_EQ(bcm.receiveBufferBytes.Get(), receiver->GrantedReceiveBuffer());
  for (const auto& e : output.Events()) {
    if (e.kind == testing::RecordingOutput::Event::kPacket) { EXPECT_GT(e.receivedAtNs, 0); }
  }
}

// A port held by another socket, a text of four numbers that is no address
// and a port beyond 16 bits fail the bind, which ends only the thread; a text
// of fewer than four numbers ends the program with the usage line.
TEST_F(BseReceiverTest, SetUpFailuresNameTheReceiver) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in held = Loopback(port);
  ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&held), sizeof held), 0);
  struct Case { const char* address; int port; const char* bound; };  // bound: as the log line shows it
  const Case cases[] = {{"127.0.0.1", port, "127.0.0.1"},
                        {"300.1.2.3", port, "255.255.255.255"},
                        {"127.0.0.1", 65536 + port, "127.0.0.1"},
                        {"localhost", port, nullptr}};
  for (const Case& c : cases) {
    const std::string at = c.address + std::string("|") + std::to_string(c.port);
    SCOPED_TRACE(at);
    testing::FeedState fresh;
    ::testing::internal::CaptureStderr();
    BseReceiverThread receiver(fresh.context, decoder, output, Args(c.address, c.port));
    ASSERT_TRUE(WaitFor([&] { return receiver.CurrentState() == BseReceiverThread::State::kEnded; }));
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (c.bound == nullptr) {
      EXPECT_EQ(err, "timeserv [server_address] port\n");
      EXPECT_EQ(fresh.exit.Codes(), std::vector<int>{0});
      EXPECT_EQ(fresh.log.Size(), 0u);
      continue;
    }
    EXPECT_EQ(err, "BSE receiver " + at + " : Could not bind name to socket.\n");
    EXPECT_EQ(fresh.LinesContaining("Server"), std::vector<std::string>{std::string("Server Failed to Bind on ") + c.bound +
                                                                         " | " + std::to_string(c.port) + "\n"});
    EXPECT_TRUE(fresh.exit.Codes().empty());
  }
  ::close(holder);
}

// Right after the start, or blocked in its receive (a stop that cannot end the
// receive hangs the test); the port is free again.
TEST_F(BseReceiverTest, StopEndsTheReceiverPromptlyAndFreesThePort) {
  for (int i = 0; i < 50; ++i) {
    auto receiver = Start(Args("127.0.0.1", port));
    receiver->Stop();
    EXPECT_EQ(receiver->CurrentState(), BseReceiverThread::State::kEnded);
  }
  auto receiver = StartRunning();
  receiver->Stop();
  EXPECT_EQ(receiver->CurrentState(), BseReceiverThread::State::kEnded);
  receiver->Stop();  // a second stop is harmless
  StartRunning().reset();
  EXPECT_TRUE(feed.exit.Codes().empty());
}

}  // namespace
}  // namespace fh
