// Subscription requests: the field reader, the handling of one request, the
// cap on created records, the reply's value against a decoder's change, and a
// client thread on a local socket pair standing in for a Bridge connection.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <thread>
#include <utility>

#include "distribution/bridge_allow_list.h"
#include "distribution/bridge_server.h"
#include "distribution/request_reader.h"
#include "fixture.h"

namespace fh {
namespace {

using testing::FeedState;
using testing::RecordingOutput;
using Event = RequestReader::Event;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

TEST(ReadRequestNumber, ReadsLikeTheDecimalFieldsOfTheRequests) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"43521", 43521}, {"  \t42", 42}, {"-7", -7},   {"+3x9", 3},
      {"a", 0},         {"", 0},        {"- 5", 0},   {"99999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},         {"-99999999999999999999", INT_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(ReadRequestNumber(text), value) << '"' << text << '"';
}

TEST(RequestReader, AFieldOf511CharactersFitsAnd512DoNot) {
  RequestReader fits;
  for (int i = 0; i < 511; ++i) ASSERT_EQ(fits.Feed('7'), Event::kNone);
  EXPECT_EQ(fits.Feed(','), Event::kSegmentDone);
  EXPECT_EQ(std::string(fits.SegmentText()).size(), 511u);
  for (int i = 0; i < 511; ++i) ASSERT_EQ(fits.Feed('8'), Event::kNone);
  EXPECT_EQ(fits.Feed('8'), Event::kOverflow);
}

TEST(BridgeAllowList, ParsesNetworksAndAllowsOnlyTheirPeers) {
  struct Case {
    const char* list;
    const char* peer;
    bool allowed;
  };
  for (const Case& c : {Case{"", "10.1.2.3", true}, Case{"10.0.0.0/8", "10.255.255.255", true},
                        Case{"10.0.0.0/8", "11.0.0.1", false},
                        Case{" 192.168.1.7 , 172.16.0.0/12", "172.31.255.1", true},
                        Case{" 192.168.1.7 , 172.16.0.0/12", "192.168.1.8", false}, Case{"0.0.0.0/0", "1.2.3.4", true},
                        Case{"10.1.2.3/31", "10.1.2.2", true}, Case{"10.1.2.3/31", "10.1.2.4", false}}) {
    BridgeAllowList list;
    std::string error;
    ASSERT_TRUE(BridgeAllowList::Parse(c.list, &list, &error)) << error;
    in_addr peer{};
    ::inet_pton(AF_INET, c.peer, &peer);
    EXPECT_EQ(list.Allows(peer), c.allowed) << c.list << " " << c.peer;
  }
  for (const char* bad : {"10.0.0.0/33", "10.0.0", "10.0.0.1/", "10.0.0.1/x", "host"}) {
    BridgeAllowList list;
    std::string error;
    EXPECT_FALSE(BridgeAllowList::Parse(bad, &list, &error));
    EXPECT_EQ(error, "bad network '" + std::string(bad) + "'");
    EXPECT_TRUE(list.AllowsEveryone()) << "left unchanged";
  }
}

class RequestTest : public ::testing::Test {
 protected:
  FeedState state;
  InstrumentMap instruments;
  RecordingOutput output;
  RequestRecordBudget budget;
};

TEST_F(RequestTest, SubscribesTheTokenAndBroadcastsItsLastValue) {
  struct Case {
    const char* segment;
    const char* token;
    std::int32_t known;  // last value reported before the request; -1: none
    Lines log;
    const char* key;
    std::int32_t number;  // the record's token
    const char* all;
    const char* subscribed;
  };
  const Case cases[] = {
      {"1", "2885", -1, {"1,2885", "NEW", "1,2885,-1"}, "1,2885", 2885, ",2885|-1", "1,2885|-1"},
      {"2", "43521", 1590, {"2,43521", "2,43521,1590"}, "2,43521", 43521, ",43521|1590", "2,43521|1590"},
      {"5", "500112", -1, {"4,500112", "NEW", "4,500112,-1"}, "4,500112", 500112, ",500112|-1", "4,500112|-1"},
      {"6", "500113", -1, {"4,500113", "NEW", "4,500113,-1"}, "4,500113", 500113, ",500113|-1", "4,500113|-1"},
      {"1", "x", -1,  // no digits: the token and the record's token are marked
       {"1,0", "==============", "x", "==============", "NEW", "==============", "1,0,-1", "==============", "1,0,-1"},
       "1,0", 0, ",0|-1", "1,0|-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.segment) + "," + c.token);
    FeedState fresh;
    InstrumentMap map;
    RecordingOutput out;
    if (c.known != -1) {
      ASSERT_EQ(map.UpdateLastValue(std::atoi(c.key), c.number, c.known), -1);
    }
    EXPECT_EQ(HandleBridgeRequest(fresh.context, map, out, budget, c.segment, c.token), RequestOutcome::kAnswered);
    EXPECT_EQ(fresh.LinesInOrder(), c.log);
    EXPECT_EQ(out.AllLines(), Lines{c.all});
    EXPECT_EQ(out.SubscribedLines(), Lines{c.subscribed});
    const InstrumentRecord* r = map.Find(c.key);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->token, c.number);
    EXPECT_STREQ(r->name, c.key);
    EXPECT_EQ(r->subscribed, 1);
    EXPECT_EQ(map.KeyCount(), 1u);  // nothing under segment 5 or 6
  }
}

TEST_F(RequestTest, TheLastItemOnTheWireIsTheLatestValueWhenADecoderChangesItMeanwhile) {
  instruments.UpdateLastValue(1, 2885, 1200);
  bool raced = false;
  output.onDelta = [&] {  // a decoder changes the value after the request read it, and broadcasts first
    if (std::exchange(raced, true)) return;
    EXPECT_EQ(instruments.UpdateLastValue(1, 2885, 1300), 1);
    char line[64] = ",2885|1300";
    output.SendDeltaAll(1, line);
    output.SendDeltaSubscribed(1, line, sizeof line);
  };
  HandleBridgeRequest(state.context, instruments, output, budget, "1", "2885");
  EXPECT_EQ(output.AllLines().back(), ",2885|1300");
  EXPECT_EQ(output.SubscribedLines().back(), "1,2885|1300");
  EXPECT_EQ(state.LinesInOrder(), (Lines{"1,2885", "1,2885,1200"}));
}

// A client thread on one end of a socket pair; the test writes the Bridge's
// side on the other.
class ClientThreadTest : public RequestTest {
 protected:
  void SetUp() override {
    fd = pair.feed->Fd();
    thread =
        std::jthread(BridgeClientThread, BridgeClientArgs{state.context, instruments, output, budget, pair.feed, {}});
  }
  void CloseAndJoin() {
    pair.bridge.Reset();
    thread.join();
  }
  void TearDown() override {
    if (thread.joinable()) {
      pair.feed->Shutdown();
      thread.join();
    }
  }

  testing::SocketPair pair;
  int fd = -1;
  std::jthread thread;
};

TEST_F(ClientThreadTest, SplitAndBatchedRequestsAreHandledInTurnAndAHalfRequestIsDropped) {
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), "1,28"));
  ASSERT_TRUE(testing::WaitFor([&] { return state.log.Size() >= 1; }));
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), "85|2,435"));
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), "21|5,7|a,77|3,9"));
  CloseAndJoin();
  EXPECT_EQ(output.SubscribedLines(), (Lines{"1,2885|-1", "2,43521|-1", "4,7|-1", "0,77|-1"}));
  EXPECT_EQ(instruments.Find("3,9"), nullptr);
  const Lines lines = state.LinesInOrder();
  EXPECT_EQ(lines.front(), "Thread is up for ID " + std::to_string(fd) + "\n");
  // A segment without digits is marked when its field ends, before its request.
  EXPECT_EQ(Lines(lines.end() - 8, lines.end() - 2),
            (Lines{"==============", "a", "==============", "0,77", "NEW", "0,77,-1"}));
  EXPECT_EQ(lines.back(), "=========");
}

TEST_F(ClientThreadTest, AFieldLongerThanItsBufferClosesTheConnection) {
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), std::string(600, '1')));
  char byte;
  EXPECT_EQ(::recv(pair.bridge.Fd(), &byte, 1, 0), 0);  // the handler ended the connection
  thread.join();
  EXPECT_TRUE(state.Logged("Request field longer than 511 characters, closing connection " + std::to_string(fd) +
                           "\n"));
  EXPECT_EQ(state.log.Line(0), "=========");
  EXPECT_TRUE(output.Events().empty());
}

TEST_F(ClientThreadTest, ABridgeThatClosesAtOnceLeavesItsThreeLines) {
  CloseAndJoin();
  EXPECT_EQ(state.LinesInOrder(), (Lines{"Thread is up for ID " + std::to_string(fd) + "\n",
                                         "Closed connection " + std::to_string(fd), "========="}));
}

TEST_F(ClientThreadTest, EndsWhenItsConnectionIsShutDownFromOutside) {
  pair.feed->Shutdown();
  thread.join();
  EXPECT_EQ(state.log.Line(0), "=========");
}

TEST_F(ClientThreadTest, PastTheCapTheRefusalIsLoggedOncePerConnection) {
  CloseAndJoin();
  RequestRecordBudget one(1);
  for (int connection = 0; connection < 2; ++connection) {
    SCOPED_TRACE(connection);
    FeedState fresh;
    testing::SocketPair other;
    ASSERT_TRUE(testing::WriteAll(other.bridge.Fd(), "1,1|1,2|1,3|1,1|"));
    other.bridge.Reset();
    BridgeClientArgs args{fresh.context, instruments, output, one, other.feed, {}};
    BridgeClientThread(std::move(args));
    EXPECT_EQ(fresh.LinesContaining("refusing").size(), 1u);
    EXPECT_TRUE(fresh.Logged("Bridge requests may create no more than 1 instruments: refusing unknown tokens "
                             "on connection " +
                             std::to_string(other.feed->Fd()) + "\n"));
  }
  EXPECT_EQ(instruments.Find("1,2"), nullptr);
  EXPECT_EQ(instruments.Find("1,3"), nullptr);
}

}  // namespace
}  // namespace fh
