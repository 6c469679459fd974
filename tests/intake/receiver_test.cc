// Runs only inside the private network namespace of scripts/netns-run: it
// joins a multicast group and sends to it.
#include "intake/receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "feedstate/exg_seg.h"
#include "framing_fixture.h"
#include "intake/framing.h"
#include "support/feed_state.h"
#include "support/nse_datagram.h"

namespace fh {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::DatagramBuilder;
using testing::FeedState;
using testing::PlainPacket;
using testing::WaitFor;

constexpr char kGroup[] = "233.1.2.5";
constexpr int kPort = 35610;

void SendToGroup(const Bytes& datagram) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kPort);
  ::inet_pton(AF_INET, kGroup, &to.sin_addr);
  const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ::close(fd);
  ASSERT_EQ(sent, static_cast<ssize_t>(datagram.size()));
}

class Receiver : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* netns = std::getenv("FH_IN_NETNS");
    if (netns == nullptr || std::string(netns) != "1") GTEST_SKIP() << "run through scripts/netns-run";
  }
  FeedState feed;
  Framing framing{feed.context};
};

// Taken in batches, or one at a time with a batch limit of 1.
class ReceiverBatch : public Receiver, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Limits, ReceiverBatch, ::testing::Values(64, 1));

std::int64_t WallClockNs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Each datagram goes to the framing of its own net id whatever the receiver's
// segment, in arrival order, and is in its segment's recording before the next
// receive. An empty datagram is ignored; every other one is taken whole, up to
// the largest UDP datagram: a capital-market datagram of 580 bytes (one
// uncompressed 566-byte message) is framed and recorded whole. The receiver's
// segment counts every datagram and byte it took and those above 512 bytes;
// every message reaches its decoder with its datagram's receive time.
TEST_P(ReceiverBatch, DatagramsSentBackToBackAreFramedInOrderAndRecorded) {
  feed.options.receiveBatch = GetParam();
  feed.options.writeBin = 1;
  for (int seg = kSegUnknown; seg <= kSegNcd; ++seg)
    ASSERT_TRUE(feed.files.Open(seg, SegmentFiles::kBinFile, feed.dir.File(std::to_string(seg)), "ab+"));
  testing::RecordingDecoder decoded;
  for (int seg : {kSegNcm, kSegNfo, kSegNcd}) framing.SetDecoder(seg, decoded.Entry());
  // Started as the capital-market receiver (its default group and port).
  const std::int64_t before = WallClockNs();
  ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort, kSegNcm));
  ASSERT_TRUE(WaitFor([&] { return r.Listening(); }));
  EXPECT_GT(r.GrantedReceiveBuffer(), 0);
  EXPECT_EQ(feed.log.Lines(), std::vector<std::string>{"NSE receiver 233.1.2.5|35610 : socket receive buffer " +
                                                        std::to_string(r.GrantedReceiveBuffer()) + " bytes (asked 134217728)"});

  const auto nse = [](std::uint8_t netId, int i) {
    return DatagramBuilder(netId).Compressed(PlainPacket{7208, 466, i}.Build()).Build();
  };
  const Bytes uncompressed566 = DatagramBuilder(kNetIdCm).Uncompressed(PlainPacket{7208, 566}.Build()).Build();
  ASSERT_EQ(uncompressed566.size(), 580u);  // 4 head, 2 compLen, 8 leading bytes, 566
  const std::pair<int, Bytes> sent[] = {
      {kSegNcm, nse(kNetIdCm, 1)}, {kSegNfo, nse(kNetIdFo, 1)},   {kSegUnknown, {}},
      {kSegNcm, nse(kNetIdCm, 2)}, {kSegUnknown, Bytes(600, 'X')}, {kSegNfo, nse(kNetIdFo, 2)},
      {kSegNcm, nse(kNetIdCm, 3)}, {kSegUnknown, {0, 9, 9}},       {kSegNcd, nse(kNetIdCd, 1)},
      {kSegNcm, uncompressed566},  {kSegUnknown, Bytes(65507, 'Y')}};
  std::string recorded[4];
  std::uint64_t bytes = 0;
  for (const auto& [seg, d] : sent) {
    SendToGroup(d);
    bytes += d.size();
    recorded[seg] += std::string(d.begin(), d.end());
  }
  ASSERT_TRUE(WaitFor([&] {
    for (int seg = kSegUnknown; seg <= kSegNcd; ++seg)
      if (testing::ReadFile(feed.dir.File(std::to_string(seg))) != recorded[seg]) return false;
    return true;
  }));
  r.Stop();
  const FeedMetrics::Segment& ncm = feed.metrics.Of(kSegNcm);
  EXPECT_EQ(ncm.datagrams.Get(), 10u);
  EXPECT_EQ(ncm.bytes.Get(), bytes);
  EXPECT_EQ(ncm.datagramsOver512.Get(), 3u);
  EXPECT_EQ(ncm.truncated.Get(), 0u);
  EXPECT_EQ(ncm.kernelDrops.Get(), 0u);
  EXPECT_EQ(ncm.receiveBufferBytes.Get(), r.GrantedReceiveBuffer());
  EXPECT_EQ(feed.metrics.Of(kSegNfo).datagrams.Get() + feed.metrics.Of(kSegUnknown).datagrams.Get(), 3u);
  const auto calls = decoded.Calls();
  EXPECT_EQ(calls.size(), 7u);
  for (const auto& call : calls) {
    EXPECT_GE(call.receivedAtNs, before);
    EXPECT_LE(call.receivedAtNs, WallClockNs());
  }
  EXPECT_EQ(framing.Counters().Compressed(kSegNcm), 3u);
  EXPECT_EQ(framing.Counters().Compressed(kSegNfo), 2u);
  EXPECT_EQ(framing.Counters().Compressed(kSegNcd), 1u);
  EXPECT_EQ(framing.Counters().Uncompressed(kSegNcm), 1u);
  EXPECT_EQ(feed.metrics.Of(kSegNcm).malformed[FeedMetrics::kRunsPast].Get(), 0u);
  EXPECT_EQ(feed.LinesContaining("no FO no CM"),
            (std::vector<std::string>{"no FO no CM segment Read from MCAST Socket X 88",
                                      std::string("no FO no CM segment Read from MCAST Socket ") + '\0' + " 0",
                                      "no FO no CM segment Read from MCAST Socket Y 89"}));
  EXPECT_TRUE(feed.exit.Codes().empty());
}

// A decoder that holds the receiver on its first message until released.
struct HoldingDecoder {
  std::atomic<bool> entered{false};
  std::atomic<bool> released{false};
  DecoderEntry Entry() {
    return {[](void* self, std::uint8_t*, int, std::int64_t) {
              auto* me = static_cast<HoldingDecoder*>(self);
              me->entered = true;
              while (!me->released) std::this_thread::sleep_for(1ms);
            },
            this};
  }
};

// Held back with a small receive buffer, the receiver loses most of a burst
// in the kernel; the next datagram tells it how many, so every datagram sent
// is either counted received or counted dropped.
TEST_P(ReceiverBatch, DatagramsTheKernelDroppedAreCounted) {
  feed.options.receiveBatch = GetParam();
  HoldingDecoder holding;
  framing.SetDecoder(kSegNcm, holding.Entry());
  ReceiverArgs args = ReceiverArgs::Make(kGroup, kPort, kSegNcm);
  args.receiveBuffer = 4096;
  ReceiverThread r(feed.context, framing, args);
  ASSERT_TRUE(WaitFor([&] { return r.Listening(); }));
  EXPECT_EQ(feed.metrics.Of(kSegNcm).receiveBufferBytes.Get(), r.GrantedReceiveBuffer());
  EXPECT_LT(r.GrantedReceiveBuffer(), 65536);

  const Bytes d = DatagramBuilder(kNetIdCm).Uncompressed(PlainPacket{7202, 100}.Build()).Build();
  SendToGroup(d);
  ASSERT_TRUE(WaitFor([&] { return holding.entered.load(); }));
  constexpr int kBurst = 300;
  for (int i = 0; i < kBurst; ++i) SendToGroup(d);
  holding.released = true;
  // A datagram received reports every drop before it; one sent while the
  // burst still fills the buffer may be dropped itself, so send until one
  // gets through.
  const FeedMetrics::Segment& ncm = feed.metrics.Of(kSegNcm);
  std::uint64_t sent = kBurst + 1;
  bool balanced = false;
  for (int i = 0; i < 50 && !balanced; ++i) {
    SendToGroup(d);
    ++sent;
    balanced = WaitFor([&] { return ncm.datagrams.Get() + ncm.kernelDrops.Get() == sent; }, 100ms);
  }
  ASSERT_TRUE(balanced) << ncm.datagrams.Get() << " received, " << ncm.kernelDrops.Get() << " dropped";
  EXPECT_GT(ncm.kernelDrops.Get(), 0u);
  EXPECT_EQ(ncm.bytes.Get(), ncm.datagrams.Get() * d.size());
}

TEST_F(Receiver, TwoReceiversOnOnePortBothBindAndBothFrame) {
  ReceiverThread a(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ReceiverThread b(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return a.Listening() && b.Listening(); }));
  SendToGroup(DatagramBuilder(kNetIdCd).Uncompressed(PlainPacket{7202, 100}.Build()).Build());
  ASSERT_TRUE(WaitFor([&] { return framing.Counters().Uncompressed(kSegNcd) == 2; }));
}

TEST_F(Receiver, StopEndsTheThreadPromptlyBlockedOrJustStarted) {
  for (int i = 0; i < 20; ++i) {
    ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
    r.Stop();
    EXPECT_FALSE(r.Running());
  }
  ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return r.Listening(); }));
  std::this_thread::sleep_for(20ms);  // let it block in its receive
  r.Stop();
  EXPECT_FALSE(r.Running());
  EXPECT_FALSE(r.Listening());
  r.Stop();  // a second stop is harmless
  EXPECT_TRUE(feed.exit.Codes().empty());
}

// A group text that is no address fails the membership; a port outside
// 0..65535 fails the bind rather than binding another port.
TEST_F(Receiver, FailedSetUpNamesTheReceiverAndEndsTheProgramWithCodeOne) {
  const std::pair<ReceiverArgs, const char*> cases[] = {
      {ReceiverArgs::Make("300.1.2.3", kPort), "NSE receiver 300.1.2.3|35610 : setsockopt: "},
      {ReceiverArgs::Make(kGroup, 65536 + kPort), "NSE receiver 233.1.2.5|101146 : bind: "}};
  for (const auto& [args, errorStart] : cases) {
    SCOPED_TRACE(errorStart);
    FeedState fresh;
    ::testing::internal::CaptureStderr();
    ReceiverThread r(fresh.context, framing, args);
    const bool ended = WaitFor([&] { return !r.Running(); });
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(fresh.exit.Codes(), std::vector<int>{1});
    EXPECT_EQ(err.rfind(errorStart, 0), 0u) << err;
  }
}

TEST(ReceiverArgs, KeepsAtMostFifteenCharactersOfTheGroup) {
  const ReceiverArgs a = ReceiverArgs::Make("255.255.255.255.255", 34330);
  EXPECT_STREQ(a.groupIp, "255.255.255.255");
}

}  // namespace
}  // namespace fh
