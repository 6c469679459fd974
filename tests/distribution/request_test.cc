// Subscription requests: the field reader, the handling of one request, the
// cap on created records, the reply's value against a decoder's change, and a
// client thread on a local socket pair standing in for a Bridge connection.
#include <climits>
#include <tuple>
#include <utility>
#include <thread>

#include "distribution/bridge_allow_list.h"
#include "distribution/bridge_server.h"
#include "distribution/request_reader.h"
#include "fixture.h"
#include "support/recording_output.h"

namespace fh {
namespace {

using namespace testing;
using Event = RequestReader::Event;

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
  struct Case { const char *list, *peer; bool allowed; };
  const char* const two = " 192.168.1.7 , 172.16.0.0/12";
  std::string error;
  in_addr anyone{};
  ::inet_pton(AF_INET, "10.1.2.3", &anyone);
  EXPECT_TRUE(BridgeAllowList().Allows(anyone));  // no list given: everyone
  for (const Case& c : {Case{"10.0.0.0/8", "10.255.255.255", true},
                        Case{"10.0.0.0/8", "11.0.0.1", false}, Case{two, "172.31.255.1", true},
                        Case{two, "192.168.1.8", false}, Case{"0.0.0.0/0", "1.2.3.4", true},
                        Case{"10.1.2.3/31", "10.1.2.2", true}, Case{"10.1.2.3/31", "10.1.2.4", false}}) {
    BridgeAllowList list;
    ASSERT_TRUE(BridgeAllowList::Parse(c.list, &list, &error)) << error;
    in_addr peer{};
    ::inet_pton(AF_INET, c.peer, &peer);
    EXPECT_EQ(list.Allows(peer), c.allowed) << c.list << " " << c.peer;
  }
  // An unset shell variable or a stray comma never widens the list.
  const std::pair<const char*, const char*> bad[] = {
      {"10.0.0.0/33", "bad network '10.0.0.0/33'"}, {"10.0.0", "bad network '10.0.0'"},
      {"10.0.0.1/", "bad network '10.0.0.1/'"},     {" host ", "bad network 'host'"},
      {"", "empty list"},                           {" \t", "empty list"},
      {",", "empty item"},                          {"10.0.0.1,", "empty item"},
      {"10.0.0.1, ,10.0.0.2", "empty item"},        {",10.0.0.1", "empty item"}};
  for (const auto& [text, why] : bad) {
    BridgeAllowList list;
    EXPECT_FALSE(BridgeAllowList::Parse(text, &list, &error)) << text;
    EXPECT_EQ(error, why) << text;
    EXPECT_TRUE(list.AllowsEveryone()) << "left unchanged";
  }
}

// A request's surroundings, and a Bridge connection whose client thread the
// test runs.
class RequestTest : public ::testing::Test {
 protected:
  // A client thread on the feed's end of the pair until its connection ends.
  void RunClient(FeedState& feed, SocketPair& p, RequestRecordBudget& records) {
    BridgeClientThread({feed.context, instruments, output, records, p.feed, {}});
  }
  std::string Fd() const { return std::to_string(pair.feed->Fd()); }

  FeedState state;
  InstrumentMap instruments;
  RecordingOutput output;
  RequestRecordBudget budget;
  SocketPair pair;
};

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

// Every request is subscribed and answered with the token's last value;
// segments 5 and 6 are taken as 4; fields without digits are marked in the log.
TEST_F(RequestTest, SplitAndBatchedRequestsAreAnsweredInTurnAndAHalfRequestIsDropped) {
  instruments.UpdateLastValue(2, 43521, 1590);
  std::thread client([&] { RunClient(state, pair, budget); });
  EXPECT_TRUE(WriteAll(pair.bridge.Fd(), "1,28"));
  EXPECT_TRUE(WaitFor([&] { return state.log.Size() >= 1; }));
  EXPECT_TRUE(WriteAll(pair.bridge.Fd(), "85|2,43521|5,500112|6,500113|1,x|a,77|3,9"));
  pair.bridge.Reset();
  client.join();
  EXPECT_EQ(output.AllLines(), (Lines{",2885|-1", ",43521|1590", ",500112|-1", ",500113|-1", ",0|-1", ",77|-1"}));
  EXPECT_EQ(output.SubscribedLines(),
            (Lines{"1,2885|-1", "2,43521|1590", "4,500112|-1", "4,500113|-1", "1,0|-1", "0,77|-1"}));
  const char* const mark = "==============";
  EXPECT_EQ(state.LinesInOrder(),
            (Lines{"Thread is up for ID " + Fd() + "\n", "1,2885", "NEW", "1,2885,-1", "2,43521", "2,43521,1590",
                   "4,500112", "NEW", "4,500112,-1", "4,500113", "NEW", "4,500113,-1",  //
                   "1,0", mark, "x", mark, "NEW", mark, "1,0,-1", mark, "1,0,-1",  // and the record's token
                   mark, "a", mark, "0,77", "NEW", "0,77,-1", "Closed connection " + Fd(), "========="}));
  for (const auto& [key, token] : {std::pair{"2,43521", 43521}, {"4,500113", 500113}, {"1,0", 0}}) {
    const InstrumentRecord* r = instruments.Find(key);
    ASSERT_NE(r, nullptr) << key;
    EXPECT_EQ(std::tuple(r->token, std::string(r->name), r->subscribed.load()), std::tuple(token, std::string(key), 1));
  }
  EXPECT_EQ(instruments.KeyCount(), 6u);  // none under segment 5 or 6, none for the half request
  EXPECT_EQ(state.metrics.bridgeRequests.Get(), 6u);
  EXPECT_EQ(state.metrics.bridgeRequestRecords.Get(), 5u);
  EXPECT_EQ(state.metrics.bridgeDrops[FeedMetrics::kDropClosed].Get(), 1u);  // the Bridge closed its end
}

TEST_F(RequestTest, AFieldLongerThanItsBufferClosesTheConnection) {
  ASSERT_TRUE(WriteAll(pair.bridge.Fd(), std::string(600, '1')));
  RunClient(state, pair, budget);
  char byte;
  EXPECT_EQ(::recv(pair.bridge.Fd(), &byte, 1, 0), 0);  // the handler ended the connection
  EXPECT_TRUE(state.Logged("Request field longer than 511 characters, closing connection " + Fd() + "\n"));
  EXPECT_EQ(state.log.Line(0), "=========");
  EXPECT_TRUE(output.Events().empty());
  EXPECT_EQ(state.metrics.bridgeDrops[FeedMetrics::kDropClosed].Get(), 0u);  // closed by this side
}

TEST_F(RequestTest, PastTheCapTheRefusalIsLoggedOncePerConnection) {
  RequestRecordBudget one(1);
  for (int connection = 0; connection < 2; ++connection) {
    SCOPED_TRACE(connection);
    FeedState feed;
    SocketPair other;
    ASSERT_TRUE(WriteAll(other.bridge.Fd(), "1,1|1,2|1,3|1,1|"));
    other.bridge.Reset();
    RunClient(feed, other, one);
    const std::string refusal = "Bridge requests may create no more than 1 instruments: refusing unknown tokens on "
                                "connection " + std::to_string(other.feed->Fd()) + "\n";
    EXPECT_EQ(feed.LinesContaining("refusing"), Lines{refusal});
    EXPECT_EQ(feed.metrics.bridgeRequests.Get(), 4u);
    EXPECT_EQ(feed.metrics.bridgeRequestRecords.Get(), connection == 0 ? 1u : 0u);
  }
  EXPECT_EQ(instruments.KeyCount(), 1u);
}

}  // namespace
}  // namespace fh
