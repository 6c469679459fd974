// Subscription requests: the field reader, the handling of one request, and a
// client thread on a local socket pair standing in for a Bridge connection.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <climits>
#include <thread>

#include "distribution/bridge_server.h"
#include "distribution/request_reader.h"
#include "fixture.h"

namespace fh {
namespace {

using testing::FeedState;
using testing::RecordingOutput;
using Event = RequestReader::Event;
using Lines = std::vector<std::string>;

TEST(ReadRequestNumber, ReadsLikeTheDecimalFieldsOfTheRequests) {
  EXPECT_EQ(ReadRequestNumber("43521"), 43521);
  EXPECT_EQ(ReadRequestNumber("  \t42"), 42);
  EXPECT_EQ(ReadRequestNumber("-7"), -7);
  EXPECT_EQ(ReadRequestNumber("+3x9"), 3);
  EXPECT_EQ(ReadRequestNumber("a"), 0);
  EXPECT_EQ(ReadRequestNumber(""), 0);
  EXPECT_EQ(ReadRequestNumber("- 5"), 0);
  EXPECT_EQ(ReadRequestNumber("99999999999999999999"), INT_MAX);
  EXPECT_EQ(ReadRequestNumber("-2147483648"), INT_MIN);
  EXPECT_EQ(ReadRequestNumber("-99999999999999999999"), INT_MIN);
}

TEST(RequestReader, FindsTheFieldsHoweverTheBytesAreCut) {
  RequestReader r;
  std::vector<Event> events;
  std::vector<std::pair<std::string, std::string>> requests;
  for (char c : std::string("1,2885|2,43521|")) {
    const Event e = r.Feed(c);
    if (e != Event::kNone) events.push_back(e);
    if (e == Event::kRequestDone) requests.emplace_back(r.SegmentText(), r.TokenText());
  }
  EXPECT_EQ(events, (std::vector<Event>{Event::kSegmentDone, Event::kRequestDone, Event::kSegmentDone,
                                        Event::kRequestDone}));
  EXPECT_EQ(requests, (std::vector<std::pair<std::string, std::string>>{{"1", "2885"}, {"2", "43521"}}));
}

TEST(RequestReader, AFieldOf511CharactersFitsAnd512DoNot) {
  RequestReader fits;
  for (int i = 0; i < 511; ++i) ASSERT_EQ(fits.Feed('7'), Event::kNone);
  EXPECT_EQ(fits.Feed(','), Event::kSegmentDone);
  EXPECT_EQ(std::string(fits.SegmentText()).size(), 511u);
  for (int i = 0; i < 511; ++i) ASSERT_EQ(fits.Feed('8'), Event::kNone);
  EXPECT_EQ(fits.Feed('8'), Event::kOverflow);
}

class RequestTest : public ::testing::Test {
 protected:
  FeedState state;
  InstrumentMap instruments;
  RecordingOutput output;
};

TEST_F(RequestTest, AnUnknownTokenIsCreatedLoggedAsNewAndAnsweredWithMinusOne) {
  HandleBridgeRequest(state.context, instruments, output, "1", "2885");
  EXPECT_EQ(state.LinesInOrder(), (Lines{"1,2885", "NEW", "1,2885,-1"}));
  const InstrumentRecord* r = instruments.Find("1,2885");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 2885);
  EXPECT_STREQ(r->name, "1,2885");
  EXPECT_EQ(r->subscribed, 1);
  const auto calls = output.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].kind, "all");
  EXPECT_EQ(calls[0].segment, 1);
  EXPECT_EQ(calls[0].text, ",2885|-1");
  EXPECT_EQ(calls[1].kind, "subscribed");
  EXPECT_EQ(calls[1].text, ",2885|-1");
}

TEST_F(RequestTest, AKnownTokenIsAnsweredWithItsLastValueAndLaterChangesAreSubscribed) {
  EXPECT_EQ(instruments.UpdateLastValue(2, 43521, 1590), -1);
  HandleBridgeRequest(state.context, instruments, output, "2", "43521");
  EXPECT_EQ(state.LinesInOrder(), (Lines{"2,43521", "2,43521,1590"}));
  EXPECT_EQ(output.Calls().at(0).text, ",43521|1590");
  EXPECT_EQ(instruments.UpdateLastValue(2, 43521, 1600), 1);
}

TEST_F(RequestTest, SegmentsFiveAndSixAreTakenAsFour) {
  HandleBridgeRequest(state.context, instruments, output, "5", "500112");
  HandleBridgeRequest(state.context, instruments, output, "6", "500113");
  EXPECT_NE(instruments.Find("4,500112"), nullptr);
  EXPECT_NE(instruments.Find("4,500113"), nullptr);
  EXPECT_EQ(instruments.Find("5,500112"), nullptr);
  EXPECT_EQ(output.Calls().at(1).segment, 4);
}

TEST_F(RequestTest, ATokenWithoutDigitsIsMarkedInTheLogTwice) {
  HandleBridgeRequest(state.context, instruments, output, "1", "x");
  EXPECT_EQ(state.LinesInOrder(), (Lines{"1,0", "==============", "x", "==============", "NEW", "==============",
                                         "1,0,-1", "==============", "1,0,-1"}));
  EXPECT_NE(instruments.Find("1,0"), nullptr);
}

// A client thread on one end of a socket pair; the test writes the Bridge's
// side on the other.
class ClientThreadTest : public RequestTest {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    connection = std::make_shared<BridgeConnection>(fds[0]);
    fd = fds[0];
    peer.Reset(fds[1]);
    thread = std::thread(BridgeClientThread, BridgeClientArgs{state.context, instruments, output, connection});
  }
  void TearDown() override {
    connection->Shutdown();
    if (thread.joinable()) thread.join();
  }
  void CloseAndJoin() {
    peer.Reset();
    thread.join();
  }

  std::shared_ptr<BridgeConnection> connection;
  int fd = -1;
  SocketFd peer;
  std::thread thread;
};

TEST_F(ClientThreadTest, ABridgeThatClosesAtOnceLeavesItsThreeLines) {
  CloseAndJoin();
  EXPECT_EQ(state.LinesInOrder(), (Lines{"Thread is up for ID " + std::to_string(fd) + "\n",
                                         "Closed connection " + std::to_string(fd), "========="}));
}

TEST_F(ClientThreadTest, SplitAndBatchedRequestsAreHandledInTurnAndAHalfRequestIsDropped) {
  ASSERT_TRUE(testing::WriteAll(peer.get(), "1,28"));
  ASSERT_TRUE(testing::WaitFor([&] { return state.log.Size() >= 1; }));
  ASSERT_TRUE(testing::WriteAll(peer.get(), "85|2,435"));
  ASSERT_TRUE(testing::WriteAll(peer.get(), "21|5,7|3,9"));
  CloseAndJoin();
  const auto calls = output.Calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0].text, ",2885|-1");
  EXPECT_EQ(calls[2].text, ",43521|-1");
  EXPECT_EQ(calls[4].segment, 4);
  EXPECT_EQ(calls[4].text, ",7|-1");
  EXPECT_EQ(instruments.Find("3,9"), nullptr);
}

TEST_F(ClientThreadTest, ASegmentWithoutDigitsIsMarkedAndSubscribesUnderSegmentZero) {
  ASSERT_TRUE(testing::WriteAll(peer.get(), "a,77|"));
  CloseAndJoin();
  const auto lines = state.LinesInOrder();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 5), (Lines{"==============", "a", "==============", "0,77"}));
  EXPECT_NE(instruments.Find("0,77"), nullptr);
}

TEST_F(ClientThreadTest, AFieldLongerThanItsBufferClosesTheConnection) {
  ASSERT_TRUE(testing::WriteAll(peer.get(), std::string(600, '1')));
  char byte;
  EXPECT_EQ(::recv(peer.get(), &byte, 1, 0), 0);  // the handler ended the connection
  thread.join();
  EXPECT_TRUE(state.Logged("Request field longer than 511 characters, closing connection " + std::to_string(fd) +
                           "\n"));
  EXPECT_EQ(state.log.Line(0), "=========");
  EXPECT_TRUE(output.Calls().empty());
}

TEST_F(ClientThreadTest, EndsWhenItsConnectionIsShutDownFromOutside) {
  connection->Shutdown();
  thread.join();
  EXPECT_EQ(state.log.Line(0), "=========");
}

}  // namespace
}  // namespace fh
