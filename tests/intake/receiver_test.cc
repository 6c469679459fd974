// Runs only inside the private network namespace of scripts/netns-run: it
// joins a multicast group and sends to it.
#include "intake/receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "feedstate/exg_seg.h"
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

bool InPrivateNamespace() {
  const char* v = std::getenv("FH_IN_NETNS");
  return v != nullptr && std::string(v) == "1";
}

void SendToGroup(const Bytes& datagram, int port = kPort) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  ASSERT_EQ(::inet_pton(AF_INET, kGroup, &to.sin_addr), 1);
  const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ::close(fd);
  ASSERT_EQ(sent, static_cast<ssize_t>(datagram.size()));
}

class Receiver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNamespace()) GTEST_SKIP() << "run through scripts/netns-run";
  }
  FeedState feed;
  Framing framing{feed.context};
};

TEST_F(Receiver, DatagramGoesToTheFramingOfItsOwnNetIdWhateverTheReceiversSegment) {
  // Started as the capital-market receiver (its default group and port).
  ReceiverThread cm(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return cm.Listening(); }));
  SendToGroup(DatagramBuilder(kNetIdFo).Compressed(PlainPacket{7208, 466}.Build()).Build());
  ASSERT_TRUE(WaitFor([&] { return framing.Counters().Compressed(kSegNfo) == 1; }));
  EXPECT_EQ(framing.Counters().Datagrams(kSegNfo), 1u);
  EXPECT_EQ(framing.Counters().Datagrams(kSegNcm), 0u);
  cm.Stop();
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(Receiver, ReportsTheGrantedSocketReceiveBuffer) {
  ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return r.Listening(); }));
  EXPECT_GT(r.GrantedReceiveBuffer(), 0);
  const std::string expected = "NSE receiver 233.1.2.5|35610 : socket receive buffer " +
                               std::to_string(r.GrantedReceiveBuffer()) + " bytes (asked 134217728)";
  EXPECT_EQ(feed.log.Line(0), expected);
}

TEST_F(Receiver, UnknownNetIdIsRecordedAsSegmentZeroAndLogged) {
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(kSegUnknown, SegmentFiles::kBinFile, feed.dir.File("unknown"), "ab+"));
  ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return r.Listening(); }));
  const std::uint64_t before = feed.log.Sequence();
  SendToGroup(Bytes{0, 9, 9});
  ASSERT_TRUE(WaitFor([&] { return feed.log.Sequence() == before + 1; }));
  EXPECT_EQ(feed.log.Line(0), std::string("no FO no CM segment Read from MCAST Socket ") + '\0' + " 0");
  EXPECT_EQ(testing::ReadFile(feed.dir.File("unknown")), std::string("\0\x09\x09", 3));
}

TEST_F(Receiver, EmptyDatagramIsIgnoredAndALongOneIsCutTo512Bytes) {
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(kSegUnknown, SegmentFiles::kBinFile, feed.dir.File("unknown"), "ab+"));
  ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return r.Listening(); }));
  const std::uint64_t before = feed.log.Sequence();
  SendToGroup(Bytes{});
  SendToGroup(Bytes(600, 'X'));
  ASSERT_TRUE(WaitFor([&] { return feed.log.Sequence() == before + 1; }));
  EXPECT_EQ(feed.log.Line(0), "no FO no CM segment Read from MCAST Socket X 88");
  r.Stop();  // the empty datagram came first; nothing else can still arrive
  EXPECT_EQ(feed.log.Sequence(), before + 1);
  EXPECT_EQ(testing::ReadFile(feed.dir.File("unknown")), std::string(512, 'X'));
}

TEST_F(Receiver, TwoReceiversOnOnePortBothBindAndBothFrame) {
  ReceiverThread a(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ReceiverThread b(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return a.Listening() && b.Listening(); }));
  SendToGroup(DatagramBuilder(kNetIdCd).Uncompressed(PlainPacket{7202, 100}.Build()).Build());
  ASSERT_TRUE(WaitFor([&] { return framing.Counters().Uncompressed(kSegNcd) == 2; }));
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(Receiver, StopEndsABlockedReceiverPromptly) {
  ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
  ASSERT_TRUE(WaitFor([&] { return r.Listening(); }));
  std::this_thread::sleep_for(20ms);  // let it block in its receive
  const auto start = std::chrono::steady_clock::now();
  r.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(r.Running());
  EXPECT_FALSE(r.Listening());
  r.Stop();  // a second stop is harmless
  EXPECT_TRUE(feed.exit.Codes().empty());
}

TEST_F(Receiver, StopRightAfterStartEndsTheThread) {
  for (int i = 0; i < 20; ++i) {
    ReceiverThread r(feed.context, framing, ReceiverArgs::Make(kGroup, kPort));
    r.Stop();
    EXPECT_FALSE(r.Running());
  }
  EXPECT_TRUE(feed.exit.Codes().empty());
}

// A group text that is no address fails the membership; a port outside
// 0..65535 fails the bind rather than binding another port.
TEST_F(Receiver, FailedSetUpNamesTheReceiverAndEndsTheProgramWithCodeOne) {
  struct Case {
    const char* group;
    int port;
    const char* errorStart;
  };
  const Case cases[] = {{"300.1.2.3", kPort, "NSE receiver 300.1.2.3|35610 : setsockopt: "},
                        {kGroup, 65536 + kPort, "NSE receiver 233.1.2.5|101146 : bind: "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errorStart);
    FeedState fresh;
    ::testing::internal::CaptureStderr();
    ReceiverThread r(fresh.context, framing, ReceiverArgs::Make(c.group, c.port));
    const bool ended = WaitFor([&] { return !r.Running(); });
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(fresh.exit.Codes(), std::vector<int>{1});
    EXPECT_EQ(err.rfind(c.errorStart, 0), 0u) << err;
  }
}

TEST(ReceiverArgs, KeepsAtMostFifteenCharactersOfTheGroup) {
  const ReceiverArgs a = ReceiverArgs::Make("233.1.2.5", 34330);
  EXPECT_STREQ(a.groupIp, "233.1.2.5");
  EXPECT_EQ(a.port, 34330);
  const ReceiverArgs b = ReceiverArgs::Make("255.255.255.255.255", 1);
  EXPECT_STREQ(b.groupIp, "255.255.255.255");
}

}  // namespace
}  // namespace fh
