// The three NSE decoders: what each segment reports, forwards, counts and
// shows, and the texts of their code reports. The bytes of every layout and
// forwarded packet are pinned by tests/golden/.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nse_feed.h"

namespace fh::testing {
namespace {

using Kind = RecordingOutput::Event::Kind;

MessageBuilder Ticker(int segment, const std::vector<Tick>& ticks) {
  return segment == 1 ? CmTickerMessage(ticks) : FoTickerMessage(ticks);
}
MessageBuilder MarketByPrice(int segment, const std::vector<Depth>& rows) {
  return segment == 1 ? CmMarketByPriceMessage(rows) : FoMarketByPriceMessage(rows);
}
MessageBuilder MarketWatch(int segment, const Watch& w) {
  return segment == 1 ? CmMarketWatchMessage({w}) : FoMarketWatchMessage({w});
}
MessageBuilder InstrumentUpdate(int segment, int token) {
  return segment == 1 ? CmSecurityMessage(token, "ABC", "EQ") : ContractMessage(token, "ABC", 1, 2, "CE");
}

// ---------------------------------------------------------------------------
// What every segment does alike.

class EverySegment : public ::testing::TestWithParam<int> {
 protected:
  int seg() const { return GetParam(); }
  std::string Key(int token) const { return std::to_string(seg()) + "," + std::to_string(token); }
  // The derivative decoders never change the caller's buffer.
  void Decode(const MessageBuilder& m) {
    const std::vector<std::uint8_t> after = feed.Decode(seg(), m);
    if (seg() != 1) { EXPECT_EQ(after, m.Wire(NseFeed::Length(m))); }
  }
  NseFeed feed;
};

TEST_P(EverySegment, ReportsTheFilteredRecordsOnceToSubscribers) {
  for (int token : {11, 12, 22, 31, 32, 33}) feed.Subscribe(seg(), token);
  Decode(Ticker(seg(), {{21, 2, 100}, {22, 1, 200}}));  // market type 2 is not reported
  Depth trading{31, 1000}, preOpen{32, 2000}, oddLot{33, 3000};
  preOpen.tradingStatus = 1;
  oddLot.bookType = 2;
  Decode(MarketByPrice(seg(), {trading, preOpen}));
  Decode(MarketByPrice(seg(), {oddLot}));
  const MessageBuilder watch = MarketWatch(seg(), {11, 500});
  Decode(watch);
  Decode(watch);  // unchanged: nothing
  const std::string s = std::to_string(seg());
  EXPECT_EQ(feed.out.SubscribedLines(), (Strings{s + ",22|200", s + ",31|1000", s + ",11|500"}));
}

TEST_P(EverySegment, TextNeedsBcastDeltaAndPacketsNeedCtclAndAConnectedBridge) {
  feed.options.bcastDelta = 0;
  feed.Subscribe(seg(), 41);
  Decode(MarketWatch(seg(), {41, 9}));
  Decode(InstrumentUpdate(seg(), 42));
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.SubscribedLines().empty());
  EXPECT_EQ(feed.Count(seg(), 7305), 1u);
  if (seg() != 1) { EXPECT_EQ(feed.instruments.Find(Key(42)), nullptr); }
  feed.out.Clear();
  feed.options.bcastDelta = 1;
  feed.out.connected = false;
  Decode(Ticker(seg(), {{1, 1, 1}}));
  feed.out.connected = true;
  feed.options.ctcl = 0;
  Decode(Ticker(seg(), {{1, 1, 2}}));
  EXPECT_TRUE(feed.out.Packets().empty());
}

TEST_P(EverySegment, NewInstrumentIsAnnouncedOnceToSubscribersOnly) {
  Decode(InstrumentUpdate(seg(), 22));
  Decode(InstrumentUpdate(seg(), 22));
  EXPECT_EQ(feed.out.SubscribedLines().size(), 1u);
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.Packets().empty());
  ASSERT_NE(feed.instruments.Find(Key(22)), nullptr);
  feed.options.ctcl = 0;
  Decode(MarketByPrice(seg(), {{22, 777}}));
  EXPECT_EQ(feed.out.SubscribedLines().size(), 1u) << "the new instrument is not subscribed";
  if (seg() == 1) { EXPECT_EQ(feed.out.AllLines(), Strings{",22|777"}); }
}

TEST_P(EverySegment, CountersAreShownInTheSegmentsColumnOnlyWithPktCounters) {
  const int column = seg() == 1 ? 1 : 2;
  Decode(Ticker(seg(), {{1, 1, 1}}));
  EXPECT_EQ(feed.CounterCell(7202, column), "0");
  feed.options.pktCounters = 1;
  Decode(Ticker(seg(), {{1, 1, 2}}));
  EXPECT_EQ(feed.CounterCell(7202, column), "2");
  EXPECT_EQ(feed.CounterCell(7202, 3 - column), "0");
  EXPECT_EQ(feed.Count(seg(), 7202), 2u);
}

TEST_P(EverySegment, OnlyTheWatchedInstrumentIsShownWhateverBcastDelta) {
  feed.options.pktCounters = 1;
  feed.options.bcastDelta = 0;
  const int token = seg() == 1 ? 2885 : 38665;
  Decode(MarketWatch(seg(), {token + 1, 1}));
  EXPECT_EQ(feed.Cell(6, 1), "0") << "another token shows nothing";
  Depth d{token, 1520};
  d.totalBuy = 1e6 + 0.4;
  d.totalSell = 2.5e6;
  Decode(MarketByPrice(seg(), {d}));
  // Row 8 (total buy and sell quantity) belongs to the capital market.
  const bool cm = seg() == 1;
  EXPECT_EQ((Strings{feed.Cell(4, 1), feed.Cell(6, 1), feed.Cell(8, 1), feed.Cell(8, 2)}),
            (Strings{"1519", "1520", cm ? "1000000" : "0", cm ? "2500000" : "0"}));
}

INSTANTIATE_TEST_SUITE_P(Nse, EverySegment, ::testing::Values(1, 2, 3),
                         [](const auto& param) { return std::string(param.param == 1 ? "Ncm" : param.param == 2 ? "Nfo" : "Ncd"); });

// ---------------------------------------------------------------------------
// Capital market.

TEST(CapitalMarket, MarketByPriceIsConvertedInPlaceKeepingUnconvertedBytes) {
  NseFeed feed;
  const MessageBuilder m = CmMarketByPriceMessage({{51, 10}, {52, 20}});
  EXPECT_EQ(feed.Decode(1, m), std::vector<std::uint8_t>(m.HostBytes(), m.HostBytes() + cm::mbp::kMessageLength));
}

TEST(CapitalMarket, SymbolIsCutAtANulByte) {
  NseFeed feed;
  MessageBuilder m = CmSecurityMessage(23, "XY", "BE");
  m.Raw8(cm::security::kSymbol + 2, 0);
  feed.Decode(1, m);
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"1,23|1:23:XY:0:0:BE"});
}

TEST(CapitalMarket, UnhandledCodeIsLoggedOnceAndIgnoredCodesLeaveNoTrace) {
  NseFeed feed;
  for (int code : {7309, 7309, 730, 1833, 6511, 7211, 7214, 7215, 7216, 9011}) {  // "730" occurs in "7309,"
    feed.Decode(1, MessageBuilder(code, 100));
  }
  EXPECT_EQ(feed.log.Lines(), Strings{"FH : CM : Unhandedled TrxCode CM : 7309\n"});
  EXPECT_EQ(feed.ncm.ReportedCodesText(), "NCM,7309,");
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.ncm.MessageTotal(), 10u);
  // The feed's figures: every message by its code, the codes outside the table as unhandled.
  EXPECT_EQ(feed.metrics.Messages(kSegNcm, 7309), 2u);
  EXPECT_EQ(feed.metrics.Messages(kSegNcm, 1833), 1u);
  EXPECT_EQ(feed.metrics.Of(kSegNcm).unhandled.Get(), 3u);
}

TEST(CapitalMarket, ReportedCodesStopGrowingWhenTheListIsFull) {
  NseFeed feed;
  for (int code = 10000; code < 10400; ++code) feed.Decode(1, MessageBuilder(code, 40));
  const std::string list(feed.ncm.ReportedCodesText());
  // "NCM," then "1xxxx," per code: 4 + 169 x 6 = 1018, a 170th would pass 1023 characters.
  EXPECT_EQ(list.size(), 4u + 169u * 6u);
  EXPECT_EQ(feed.log.Lines().size(), 169u);
}

// Items of 19 characters (",-32768|-2000000000") and one of 18: 26 + 1
// items make exactly 512 characters, which still fit; the next one starts a
// new line.
TEST(CapitalMarket, ALineThatWouldPass512CharactersIsSentFirst) {
  NseFeed feed;
  std::vector<Tick> ticks;
  for (int i = 0; i < 28; ++i) {
    ticks.push_back({-32768 + i, 1, i == 26 ? -200000000 - i : -2000000000 + i});
    feed.Subscribe(1, -32768 + i);
  }
  feed.Decode(1, CmTickerMessage(ticks));
  const Strings all = feed.out.AllLines();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].size(), 512u);
  EXPECT_EQ(all[1], ",-32741|-1999999973");
  EXPECT_EQ(feed.out.SubscribedLines(), (Strings{"1" + all[0], "1" + all[1]}));
  // The full all-delta line leaves before the full subscribed line.
  const auto events = feed.out.Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].kind, Kind::kAll);
  EXPECT_EQ(events[1].kind, Kind::kSubscribed);
}

// ---------------------------------------------------------------------------
// 7203 and 7207 leave from a private copy; 7203 counts in the shared object
// under its segment's market and shows in that segment's column, and F&O
// appends every record to the index file.

TEST(IndustryIndex, IsCountedUnderItsMarketAndLeavesTheCallersBufferAlone) {
  for (int segment : {1, 2}) {
    SCOPED_TRACE(segment);
    NseFeed feed;
    feed.options.pktCounters = 1;
    const MessageBuilder index = segment == 1 ? CmIndustryIndexMessage({{"Banks", 1}}) : FoIndustryIndexMessage({});
    const MessageBuilder indices = IndicesMessage(6);
    EXPECT_EQ(feed.Decode(segment, index), index.Wire(NseFeed::Length(index)));
    EXPECT_EQ(feed.Decode(segment, indices), indices.Wire(NseFeed::Length(indices)));
    EXPECT_EQ(feed.CounterCell(7203, segment), "1");
    EXPECT_EQ(feed.CounterCell(7203, 3 - segment), "0");
    EXPECT_EQ(segment == 1 ? feed.industryIndex.cm : feed.industryIndex.fo, 1u);
    EXPECT_EQ(segment == 1 ? feed.industryIndex.fo : feed.industryIndex.cm, 0u);
    EXPECT_EQ(feed.out.Packets().size(), 2u);
  }
}

TEST(IndustryIndex, FuturesAndOptionsAppendEveryRecordToTheIndexFile) {
  NseFeed feed;
  feed.Decode(2, FoIndustryIndexMessage({{"BANK NIFTY", 1234567}, {"CNX IT", -5}}));
  feed.Decode(2, FoIndustryIndexMessage({{"NIFTY", 1}}));
  EXPECT_EQ(feed.nfo.IndexFilePath(), feed.dir.File("IndexBcastFO.txt"));
  EXPECT_EQ(ReadFile(feed.dir.File("IndexBcastFO.txt")), "BANK NIFTY      : 1234567\nCNX IT          : -5\nNIFTY           : 1\n");
  EXPECT_TRUE(feed.out.AllLines().empty());
}

// ---------------------------------------------------------------------------
// F&O and currency derivatives.

TEST(Derivatives, OnlyFuturesAndOptionsHaveAnAllDeltaLine) {
  NseFeed feed;
  feed.Subscribe(2, 43521);
  feed.Subscribe(3, 9001);
  feed.Decode(2, FoMarketWatchMessage({{43521, 1590}, {43522, 1610}}));
  feed.Decode(3, FoMarketWatchMessage({{9001, 7400}, {9003, 7500}}));
  EXPECT_EQ(feed.out.AllLines(), Strings{",43521|1590,43522|1610"});
  EXPECT_EQ(feed.out.SubscribedLines(), (Strings{"2,43521|1590", "3,9001|7400"}));
}

// Groups share one counter shown in the group's row; 7324 keeps a count of
// its own out of row 7305; 7130 has no row.
TEST(Derivatives, GroupedCodesShareTheirRowsCounter) {
  for (int segment : {2, 3}) {
    SCOPED_TRACE(segment);
    NseFeed f;
    f.options.pktCounters = 1;
    for (int code : {7210, 7320, 6522, 9010, 7324, 7324}) f.Decode(segment, MessageBuilder(code, 40));
    MessageBuilder pairs(7130, 60);
    pairs.ErrorCode(2);
    f.Decode(segment, pairs);
    EXPECT_EQ((Strings{f.CounterCell(7320, 2), f.CounterCell(6571, 2), f.CounterCell(9011, 2), f.CounterCell(7305, 2),
                       f.CounterCell(0, 2)}),
              (Strings{"2", "1", "1", "0", "7"}));
    EXPECT_EQ(f.Count(segment, 7210), 2u);
    EXPECT_EQ(f.Count(segment, 7324), 2u);
    EXPECT_EQ(f.Count(segment, 7305), 0u);
    EXPECT_EQ(f.Count(segment, 7130), 1u);
    EXPECT_TRUE(f.out.Events().empty());
  }
}

TEST(Derivatives, FuturesAndOptionsReportAnUnhandledCodeOnceToTheLogAndTheCounterFile) {
  NseFeed feed;
  ASSERT_TRUE(feed.files.Open(2, SegmentFiles::kBpackCounterFile, feed.dir.File("BPACK_Counter_NFO.TXT"), "w+"));
  MessageBuilder m(7212, 96);
  m.ErrorCode(5);
  feed.Decode(2, m);
  feed.Decode(2, m);
  const std::string line = "FH : FO : Unhandled TrxCode EXG : Trx=7212 Err=5 MsgLen=96\n";
  EXPECT_EQ(feed.log.Lines(), Strings{line});
  EXPECT_EQ(ReadFile(feed.dir.File("BPACK_Counter_NFO.TXT")), line);
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.nfo.ReportedCodesText(), "NFO,7212,");
  for (int code : {1836, 6581, 7209, 7213, 7214}) feed.Decode(2, MessageBuilder(code, 40));
  EXPECT_EQ(feed.log.Lines().size(), 6u);
  EXPECT_EQ(feed.metrics.Messages(kSegNfo, 7212), 2u);
  EXPECT_EQ(feed.metrics.Of(kSegNfo).unhandled.Get(), 7u);
}

TEST(Derivatives, CurrencyDerivativesReportEveryInvalidCodeAndIgnore7214To7216) {
  NseFeed feed;
  ASSERT_TRUE(feed.files.Open(3, SegmentFiles::kBpackCounterFile, feed.dir.File("BPACK_Counter_NCD.TXT"), "w+"));
  feed.options.pktCounters = 1;
  for (int code : {7214, 7215, 7216}) feed.Decode(3, MessageBuilder(code, 74));
  EXPECT_EQ(ReadFile(feed.dir.File("BPACK_Counter_NCD.TXT")), "");
  EXPECT_EQ(feed.ncd.Count(7214), 0u);
  MessageBuilder m(7203, 440);
  m.ErrorCode(-1);
  feed.Decode(3, m);
  feed.Decode(3, m);
  const std::string line = "FH : FO : Invalid TrxCode EXG : Trx=7203 Err=-1 MsgLen=440\n";
  EXPECT_EQ(feed.log.Lines(), (Strings{line, line}));
  EXPECT_EQ(ReadFile(feed.dir.File("BPACK_Counter_NCD.TXT")), line + line);
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.metrics.Messages(kSegNcd, 7214), 1u);
  EXPECT_EQ(feed.metrics.Of(kSegNcd).unhandled.Get(), 2u);
}

}  // namespace
}  // namespace fh::testing
