// Subscription requests: the field reader, the handling of one request, the
// cap on created records, the reply's value against a decoder's change, and a
// client thread on a local socket pair standing in for a Bridge connection.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
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
using namespace std::chrono_literals;

TEST(ReadRequestNumber, ReadsLikeTheDecimalFieldsOfTheRequests) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"43521", 43521}, {"  \t42", 42}, {"-7", -7},   {"+3x9", 3},
      {"a", 0},         {"", 0},        {"- 5", 0},   {"99999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},         {"-99999999999999999999", INT_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(ReadRequestNumber(text), value) << '"' << text << '"';
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
  RequestOutcome Handle(const char* segment, const char* token) {
    return HandleBridgeRequest(state.context, instruments, output, budget, segment, token);
  }
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
      {"1",
       "x",
       -1,
       {"1,0", "==============", "x", "==============", "NEW", "==============", "1,0,-1", "==============", "1,0,-1"},
       "1,0",
       0,
       ",0|-1",
       "1,0|-1"},
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
    if (c.known == -1) {
      EXPECT_STREQ(r->name, c.key);
    }
    EXPECT_EQ(r->subscribed, 1);
    EXPECT_EQ(map.KeyCount(), 1u);  // nothing under segment 5 or 6
  }
}

TEST_F(RequestTest, PastTheCapAnUnknownTokenIsRefusedAndAKnownOneIsStillAnswered) {
  RequestRecordBudget two(2);
  instruments.UpdateLastValue(1, 7, 70);  // not created by a request
  EXPECT_EQ(HandleBridgeRequest(state.context, instruments, output, two, "1", "7"), RequestOutcome::kAnswered);
  EXPECT_EQ(HandleBridgeRequest(state.context, instruments, output, two, "1", "1"), RequestOutcome::kAnswered);
  EXPECT_EQ(HandleBridgeRequest(state.context, instruments, output, two, "1", "2"), RequestOutcome::kAnswered);
  EXPECT_EQ(HandleBridgeRequest(state.context, instruments, output, two, "1", "3"), RequestOutcome::kRefused);
  EXPECT_EQ(instruments.Find("1,3"), nullptr);
  EXPECT_EQ(HandleBridgeRequest(state.context, instruments, output, two, "1", "1"), RequestOutcome::kAnswered);
  EXPECT_EQ(output.AllLines(), (Lines{",7|70", ",1|-1", ",2|-1", ",1|-1"}));
}

// A decoder that changes the token's value right after the request read it
// and broadcasts the newer value before the reply leaves.
class RacingDecoder final : public BridgeOutput {
 public:
  RacingDecoder(InstrumentMap& map, RecordingOutput& wire) : map_(map), wire_(wire) {}
  bool BridgeConnected() const override { return true; }
  int SendToBridges(int, int, const std::uint8_t*) override { return 1; }
  int SendDeltaAll(int segment, const char* text) override {
    if (!raced_) {
      raced_ = true;
      EXPECT_EQ(map_.UpdateLastValue(1, 2885, 1300), 1);  // already subscribed
      char line[64] = ",2885|1300";
      wire_.SendDeltaAll(1, line);
      wire_.SendDeltaSubscribed(1, line, sizeof line);
    }
    return wire_.SendDeltaAll(segment, text);
  }
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override {
    return wire_.SendDeltaSubscribed(segment, text, capacity);
  }

 private:
  InstrumentMap& map_;
  RecordingOutput& wire_;
  bool raced_ = false;
};

TEST_F(RequestTest, TheLastItemOnTheWireIsTheLatestValueWhenADecoderChangesItMeanwhile) {
  instruments.UpdateLastValue(1, 2885, 1200);
  RacingDecoder decoder(instruments, output);
  HandleBridgeRequest(state.context, instruments, decoder, budget, "1", "2885");
  EXPECT_EQ(output.AllLines().back(), ",2885|1300");
  EXPECT_EQ(output.SubscribedLines().back(), "1,2885|1300");
  EXPECT_EQ(state.LinesInOrder(), (Lines{"1,2885", "1,2885,1200"}));
}

// A client thread on one end of a socket pair; the test writes the Bridge's
// side on the other.
class ClientThreadTest : public RequestTest {
 protected:
  void Start(RequestRecordBudget& b) {
    fd = pair.feed->Fd();
    thread = std::jthread([this, &b](std::stop_token stop) {
      BridgeClientThread(BridgeClientArgs{state.context, instruments, output, b, pair.feed, std::move(stop)});
    });
  }
  void SetUp() override { Start(budget); }
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
  Lines EndLines() const { return {"Closed connection " + std::to_string(fd), "========="}; }

  testing::SocketPair pair;
  int fd = -1;
  std::jthread thread;
};

TEST_F(ClientThreadTest, SplitAndBatchedRequestsAreHandledInTurnAndAHalfRequestIsDropped) {
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), "1,28"));
  ASSERT_TRUE(testing::WaitFor([&] { return state.log.Size() >= 1; }));
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), "85|2,435"));
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), "21|5,7|3,9"));
  CloseAndJoin();
  EXPECT_EQ(output.SubscribedLines(), (Lines{"1,2885|-1", "2,43521|-1", "4,7|-1"}));
  EXPECT_EQ(instruments.Find("3,9"), nullptr);
  const Lines lines = state.LinesInOrder();
  EXPECT_EQ(lines.front(), "Thread is up for ID " + std::to_string(fd) + "\n");
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), EndLines());
}

TEST_F(ClientThreadTest, ASegmentWithoutDigitsIsMarkedAndSubscribesUnderSegmentZero) {
  ASSERT_TRUE(testing::WriteAll(pair.bridge.Fd(), "a,77|"));
  CloseAndJoin();
  const auto lines = state.LinesInOrder();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 5), (Lines{"==============", "a", "==============", "0,77"}));
  EXPECT_NE(instruments.Find("0,77"), nullptr);
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

TEST_F(ClientThreadTest, EndsWhenThePeerClosesTheConnectionIsShutDownOrTheStopIsRequested) {
  CloseAndJoin();  // the thread of the fixture: the peer closes at once
  EXPECT_EQ(state.LinesInOrder(), (Lines{"Thread is up for ID " + std::to_string(fd) + "\n", EndLines()[0],
                                         EndLines()[1]}));
  for (const bool byStop : {false, true}) {
    SCOPED_TRACE(byStop ? "stop requested" : "shut down");
    FeedState fresh;
    testing::SocketPair other;
    std::jthread t([&](std::stop_token stop) {
      BridgeClientThread(BridgeClientArgs{fresh.context, instruments, output, budget, other.feed, std::move(stop)});
    });
    ASSERT_TRUE(testing::WaitFor([&] { return fresh.log.Size() >= 1; }));
    if (byStop) t.request_stop();
    other.feed->Shutdown();
    t.join();
    EXPECT_EQ(fresh.log.Line(0), "=========");
  }
}

TEST_F(ClientThreadTest, RequestsLeftAtTheStopAreDropped) {
  CloseAndJoin();
  FeedState fresh;
  testing::SocketPair other;
  std::string flood;
  for (int i = 0; i < 5000; ++i) flood += "1," + std::to_string(i + 1) + "|";
  ASSERT_TRUE(testing::WriteAll(other.bridge.Fd(), flood));
  std::stop_source stop;
  stop.request_stop();  // before the thread reads a byte
  BridgeClientThread(BridgeClientArgs{fresh.context, instruments, output, budget, other.feed, stop.get_token()});
  EXPECT_TRUE(output.Events().empty());
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
