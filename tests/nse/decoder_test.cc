// The three NSE decoders: what each segment reports, forwards, counts and
// shows, and the texts of their code reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nse_feed.h"

namespace fh::testing {
namespace {

using Kind = RecordingOutput::Event::Kind;

// Message bytes the decoders use for a forwarded code of a segment.
int Length(int segment, int code) {
  return nse::ForwardedPacketLength(segment, code) - forwarded::kHeaderSize + header::kBodyAt;
}
int WatchedToken(int segment) { return segment == 1 ? 2885 : 38665; }

MessageBuilder Ticker(int segment, const std::vector<Tick>& ticks) {
  return segment == 1 ? CmTickerMessage(ticks) : FoTickerMessage(ticks);
}
MessageBuilder MarketByPrice(int segment, const std::vector<Depth>& rows) {
  return segment == 1 ? CmMarketByPriceMessage(rows) : FoMarketByPriceMessage(rows);
}
MessageBuilder MarketWatch(int segment, int token, int ltp, int buyPrice = 0, int sellPrice = 0, int buyVolume = 0,
                           int sellVolume = 0) {
  if (segment == 1) return CmMarketWatchMessage({{token, ltp, buyPrice, sellPrice, buyVolume, sellVolume}});
  return FoMarketWatchMessage({{token, ltp, buyPrice, sellPrice, buyVolume, sellVolume}});
}

// ---------------------------------------------------------------------------
// What every segment does alike.

class EverySegment : public ::testing::TestWithParam<int> {
 protected:
  int seg() const { return GetParam(); }
  void Decode(const MessageBuilder& m, int code) { feed.Decode(seg(), m, Length(seg(), code)); }
  NseFeed feed;
};

TEST_P(EverySegment, ReportsTheFilteredRecordsOnceToSubscribers) {
  for (int token : {11, 12, 22, 31, 32, 33}) feed.Subscribe(seg(), token);
  Decode(Ticker(seg(), {{21, 2, 100}, {22, 1, 200}}), 7202);  // market type 2 is not reported
  Depth trading{31, 1000}, preOpen{32, 2000}, oddLot{33, 3000};
  preOpen.tradingStatus = 1;
  oddLot.bookType = 2;
  Decode(MarketByPrice(seg(), {trading, preOpen}), 7208);
  Decode(MarketByPrice(seg(), {oddLot}), 7208);
  const MessageBuilder watch = MarketWatch(seg(), 11, 500);
  Decode(watch, 7201);
  Decode(watch, 7201);  // unchanged: nothing
  const std::string s = std::to_string(seg());
  EXPECT_EQ(feed.out.SubscribedLines(), (Strings{s + ",22|200", s + ",31|1000", s + ",11|500"}));
}

TEST_P(EverySegment, PacketsCarryTheSegmentsHeaderAndTheCodesLength) {
  const MessageBuilder ticker = Ticker(seg(), {{61, 1, 100, 5}, {62, 2, 200, 6}});
  const MessageBuilder watch = MarketWatch(seg(), 1, 1);
  const MessageBuilder depth = MarketByPrice(seg(), {{2, 2}});
  Decode(ticker, 7202);
  Decode(watch, 7201);
  Decode(depth, 7208);
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 3u);
  const bool cm = seg() == 1;
  const int code = cm ? 20 : seg() == 2 ? 21 : 22;
  const int divisor = seg() == 3 ? 0x9680 : 100;
  EXPECT_EQ(packets[0], ticker.ExpectedPacket(code, divisor, cm ? 496 : 490));
  EXPECT_EQ(packets[1], watch.ExpectedPacket(code, divisor, cm ? 448 : 478));
  EXPECT_EQ(packets[2], depth.ExpectedPacket(code, divisor, cm ? 472 : 476));
  const auto* p = reinterpret_cast<const std::uint8_t*>(packets[0].data());
  EXPECT_EQ(Load16(p + 0), 10);
  EXPECT_EQ(Load16(p + 2), code);
  EXPECT_EQ(static_cast<std::uint16_t>(Load16(p + 4)), divisor);
  EXPECT_EQ(Load16(p + 44), cm ? 496 : 490);
  EXPECT_EQ(p[46], 2);  // NoOfRecords, low byte first
  EXPECT_EQ(feed.out.Events().front().kind, Kind::kPacket) << "the packet leaves before the lines";
}

TEST_P(EverySegment, NoPacketWithoutAConnectedBridgeOrWithCtclOff) {
  feed.out.connected = false;
  Decode(Ticker(seg(), {{1, 1, 1}}), 7202);
  feed.out.connected = true;
  feed.options.ctcl = 0;
  Decode(Ticker(seg(), {{1, 1, 2}}), 7202);
  EXPECT_TRUE(feed.out.Packets().empty());
}

TEST_P(EverySegment, CountersAreShownInTheSegmentsColumnOnlyWithPktCounters) {
  const int column = seg() == 1 ? 1 : 2;
  Decode(Ticker(seg(), {{1, 1, 1}}), 7202);
  EXPECT_EQ(feed.CounterCell(7202, column), "0");
  feed.options.pktCounters = 1;
  Decode(Ticker(seg(), {{1, 1, 2}}), 7202);
  EXPECT_EQ(feed.CounterCell(7202, column), "2");
  EXPECT_EQ(feed.CounterCell(7202, 3 - column), "0");
  EXPECT_EQ(feed.Count(seg(), 7202), 2u);
}

TEST_P(EverySegment, WatchedInstrumentIsShownInTheGrid) {
  feed.options.pktCounters = 1;
  feed.options.bcastDelta = 0;
  const int token = WatchedToken(seg());
  Decode(MarketWatch(seg(), token + 1, 1), 7201);
  EXPECT_EQ(feed.Cell(6, 1), "0") << "another token shows nothing";
  Decode(MarketWatch(seg(), token, 1500, 1499, 1501, 10, 20), 7201);
  EXPECT_EQ((Strings{feed.Cell(4, 1), feed.Cell(4, 2), feed.Cell(5, 1), feed.Cell(5, 2), feed.Cell(6, 1)}),
            (Strings{"1499", "1501", "10", "20", "1500"}));
  Decode(Ticker(seg(), {{token, 1, 1510, 30}}), 7202);
  EXPECT_EQ(feed.Cell(6, 1), "1510");
  EXPECT_EQ(feed.Cell(6, 2), "30");
  Depth d{token, 1520};
  d.lastTradeQuantity = 40;
  d.volume = 50000;
  d.lastTradeTime = 1234;
  d.totalBuy = 1e6 + 0.4;
  d.totalSell = 2.5e6;
  Decode(MarketByPrice(seg(), {d}), 7208);
  // Best buy and sell price and quantity, last trade, volume; row 8 belongs
  // to the capital market.
  const bool cm = seg() == 1;
  EXPECT_EQ((Strings{feed.Cell(4, 1), feed.Cell(4, 2), feed.Cell(5, 1), feed.Cell(5, 2), feed.Cell(6, 1),
                     feed.Cell(6, 2), feed.Cell(7, 1), feed.Cell(7, 2), feed.Cell(8, 1), feed.Cell(8, 2)}),
            (Strings{"1519", "1521", "100", "600", "1520", "40", "50000", "1234", cm ? "1000000" : "0",
                     cm ? "2500000" : "0"}));
}

INSTANTIATE_TEST_SUITE_P(Nse, EverySegment, ::testing::Values(1, 2, 3),
                         [](const auto& info) { return std::string(info.param == 1 ? "Ncm" : info.param == 2 ? "Nfo" : "Ncd"); });

// ---------------------------------------------------------------------------
// Capital market.

class CapitalMarket : public ::testing::Test {
 protected:
  std::vector<std::uint8_t> Decode(const MessageBuilder& m, int length) { return feed.Decode(1, m, length); }
  NseFeed feed;
};

TEST_F(CapitalMarket, SendsThePacketThenTheAllDeltaLineThenTheSubscribedOne) {
  feed.Subscribe(1, 2885);
  Decode(CmMarketWatchMessage({{2885, 123450}, {1594, 51000}}), cm::mw::kMessageLength);
  const auto events = feed.out.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, Kind::kPacket);
  EXPECT_EQ(events[1].kind, Kind::kAll);
  EXPECT_EQ(events[1].bytes, ",2885|123450,1594|51000");
  EXPECT_EQ(events[2].kind, Kind::kSubscribed);
  EXPECT_EQ(events[2].bytes, "1,2885|123450");
}

TEST_F(CapitalMarket, NoTextLeavesWhileBcastDeltaIsOff) {
  feed.options.bcastDelta = 0;
  feed.Subscribe(1, 41);
  Decode(CmMarketWatchMessage({{41, 9}}), cm::mw::kMessageLength);
  Decode(CmSecurityMessage(42, "ABC", "EQ"), cm::security::kMessageLength);
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.SubscribedLines().empty());
}

TEST_F(CapitalMarket, MarketByPriceConvertsBothRecordsInPlaceAndKeepsUnconvertedBytes) {
  feed.options.ctcl = 0;
  const MessageBuilder m = CmMarketByPriceMessage({{51, 10}, {52, 20}});
  const std::vector<std::uint8_t> after = Decode(m, cm::mbp::kMessageLength);
  // Converted fields in host order, every other byte (indicators, fillers) as it came.
  EXPECT_EQ(after, std::vector<std::uint8_t>(m.HostBytes(), m.HostBytes() + cm::mbp::kMessageLength));
}

TEST_F(CapitalMarket, IndustryIndexAndIndicesAreForwardedFromAPrivateCopy) {
  feed.options.pktCounters = 1;
  const MessageBuilder industry = CmIndustryIndexMessage({{"Banks", 1234}});
  const MessageBuilder indices = IndicesMessage(6);
  EXPECT_EQ(Decode(industry, cm::industry::kMessageLength), industry.Wire(cm::industry::kMessageLength));
  EXPECT_EQ(Decode(indices, cm::indices::kMessageLength), indices.Wire(cm::indices::kMessageLength));
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0], industry.ExpectedPacket(20, 100, 490));
  EXPECT_EQ(packets[1], indices.ExpectedPacket(20, 100, 480));
  // 7203 counts in the shared object's capital-market count, cash column.
  EXPECT_EQ(feed.CounterCell(7203, 1), "1");
  EXPECT_EQ(feed.CounterCell(7203, 2), "0");
  EXPECT_EQ(feed.industryIndex.cm, 1u);
  EXPECT_EQ(feed.industryIndex.fo, 0u);
  EXPECT_EQ(feed.ncm.Count(7203), 1u);
}

TEST_F(CapitalMarket, NewSecurityIsAnnouncedOnceToSubscribers) {
  Decode(CmSecurityMessage(22, "ABC", "EQ"), cm::security::kMessageLength);
  Decode(CmSecurityMessage(22, "ABC", "EQ"), cm::security::kMessageLength);
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"1,22|1:22:ABC       :0:0:EQ"});
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.Packets().empty());
  InstrumentRecord* r = feed.instruments.Find("1,22");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 22);
  EXPECT_EQ(r->lastValue, -1);
  EXPECT_EQ(r->subscribed, -1);
  EXPECT_STREQ(r->name, "");
  Decode(CmMarketByPriceMessage({{22, 777}}), cm::mbp::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",22|777"});
  EXPECT_EQ(feed.out.SubscribedLines().size(), 1u) << "not subscribed: all-delta line only";
}

TEST_F(CapitalMarket, SymbolIsCutAtANulByte) {
  MessageBuilder m = CmSecurityMessage(23, "XY", "BE");
  m.Raw8(cm::security::kSymbol + 2, 0);
  Decode(m, cm::security::kMessageLength);
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"1,23|1:23:XY:0:0:BE"});
}

TEST_F(CapitalMarket, UnhandledCodeIsLoggedOnceAndIgnoredCodesLeaveNoTrace) {
  Decode(MessageBuilder(7309, 100), 100);
  Decode(MessageBuilder(7309, 100), 100);
  Decode(MessageBuilder(730, 100), 100);  // "730" occurs in "7309,"
  for (int code : {1833, 6511, 7211, 7214, 7215, 7216, 9011}) Decode(MessageBuilder(code, 100), 100);
  EXPECT_EQ(feed.log.Lines(), Strings{"FH : CM : Unhandedled TrxCode CM : 7309\n"});
  EXPECT_EQ(feed.ncm.ReportedCodesText(), "NCM,7309,");
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.ncm.MessageTotal(), 10u);
}

TEST_F(CapitalMarket, ReportedCodesStopGrowingWhenTheListIsFull) {
  int logged = 0;
  for (int code = 10000; code < 10400; ++code) {
    const std::uint64_t before = feed.log.Sequence();
    Decode(MessageBuilder(code, 40), 40);
    logged += static_cast<int>(feed.log.Sequence() - before);
  }
  const std::string list(feed.ncm.ReportedCodesText());
  EXPECT_LT(list.size(), 1024u);
  EXPECT_EQ(logged, static_cast<int>((list.size() - 4) / 6));  // "NCM," then "1xxxx," per code
  EXPECT_EQ(logged, 169);  // 4 + 169 x 6 = 1018: a 170th would pass 1023 characters
}

// Items of 19 characters (",-32768|-2000000000") and one of 18: 26 + 1
// items make exactly 512 characters, which still fit; the next one starts a
// new line.
TEST_F(CapitalMarket, ALineThatWouldPass512CharactersIsSentFirst) {
  std::vector<Tick> ticks;
  for (int i = 0; i < 28; ++i) {
    ticks.push_back({-32768 + i, 1, i == 26 ? -200000000 - i : -2000000000 + i});
    feed.Subscribe(1, -32768 + i);
  }
  Decode(CmTickerMessage(ticks), cm::ticker::kMessageLength);
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
// F&O and currency derivatives.

class Derivatives : public ::testing::Test {
 protected:
  // The caller's buffer is never changed.
  void Decode(int segment, const MessageBuilder& m, int length) {
    EXPECT_EQ(feed.Decode(segment, m, length), m.Wire(length));
  }
  NseFeed feed;
};

TEST_F(Derivatives, ContractUpdateIsOnlyCountedWhileBcastDeltaIsOff) {
  feed.options.bcastDelta = 0;
  const MessageBuilder m = ContractMessage(43521, "NIFTY", 1325376000, 540000, "CE");
  Decode(2, m, 300);
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.instruments.Find("2,43521"), nullptr);
  EXPECT_EQ(feed.nfo.Count(7305), 1u);
  feed.options.bcastDelta = 1;
  Decode(2, m, 300);
  Decode(2, m, 300);
  Decode(3, ContractMessage(9002, "USDINR", 1400000000, 0, "FF"), 300);
  EXPECT_EQ(feed.out.SubscribedLines(), (Strings{"2,43521|2:43521:NIFTY     :1325376000:540000:CE",
                                                 "3,9002|2:9002:USDINR    :1400000000:0:FF"}));
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_NE(feed.instruments.Find("3,9002"), nullptr);
}

TEST_F(Derivatives, OnlyFuturesAndOptionsHaveAnAllDeltaLine) {
  feed.Subscribe(2, 43521);
  feed.Subscribe(3, 9001);
  Decode(2, FoMarketWatchMessage({{43521, 1590}, {43522, 1610}}), fo::mw::kMessageLength);
  Decode(3, FoMarketWatchMessage({{9001, 7400}, {9003, 7500}}), fo::mw::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",43521|1590,43522|1610"});
  EXPECT_EQ(feed.out.SubscribedLines(), (Strings{"2,43521|1590", "3,9001|7400"}));
}

TEST_F(Derivatives, IndustryIndexRecordsAreAppendedToTheIndexFile) {
  feed.options.pktCounters = 1;
  const MessageBuilder m = FoIndustryIndexMessage({{"BANK NIFTY", 1234567}, {"CNX IT", -5}, {"NIFTY MIDCAP 50X", 42}});
  Decode(2, m, fo::industry::kMessageLength);
  Decode(2, FoIndustryIndexMessage({{"NIFTY", 1}}), fo::industry::kMessageLength);
  EXPECT_EQ(feed.nfo.IndexFilePath(), feed.dir.File("IndexBcastFO.txt"));
  EXPECT_EQ(ReadFile(feed.dir.File("IndexBcastFO.txt")),
            "BANK NIFTY      : 1234567\n"
            "CNX IT          : -5\n"
            "NIFTY MIDCAP 50 : 42\n"
            "NIFTY           : 1\n");
  ASSERT_EQ(feed.out.Packets().size(), 2u);
  EXPECT_EQ(feed.out.Packets()[0], m.ExpectedPacket(21, 100, 448));
  EXPECT_TRUE(feed.out.AllLines().empty());
  // 7203 counts in the shared object's F&O count, F&O column.
  EXPECT_EQ(feed.industryIndex.fo, 2u);
  EXPECT_EQ(feed.industryIndex.cm, 0u);
  EXPECT_EQ(feed.CounterCell(7203, 2), "2");
  EXPECT_EQ(feed.CounterCell(7203, 1), "0");
}

TEST_F(Derivatives, IndicesSpreadAnd7213AreForwardedWhole) {
  feed.Subscribe(3, 8001);
  const MessageBuilder indices = IndicesMessage(6);
  const MessageBuilder spread = SpreadMessage(35001, 35002);
  const MessageBuilder value = Cd7213Message(8001, 74250000);
  Decode(2, indices, fo::indices::kMessageLength);
  Decode(2, spread, fo::spread::kMessageLength);
  Decode(3, spread, fo::spread::kMessageLength);
  Decode(3, value, cd::v7213::kMessageLength);
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[0], indices.ExpectedPacket(21, 100, 480));
  EXPECT_EQ(packets[1], spread.ExpectedPacket(21, 100, 210));
  EXPECT_EQ(packets[2], spread.ExpectedPacket(22, 0x9680, 210));
  EXPECT_EQ(packets[3], value.ExpectedPacket(22, 0x9680, 82));
  // 7213's value leaves on the subscribed-delta line only.
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"3,8001|74250000"});
  EXPECT_TRUE(feed.out.AllLines().empty());
}

TEST_F(Derivatives, Values7732And7733AreReported) {
  Decode(2, ValueMessage<fo::v7732::kConverted>(7732, fo::v7732::kToken, fo::v7732::kValue, 41001, 77), 200);
  Decode(2, ValueMessage<fo::v7733::kConverted>(7733, fo::v7733::kToken, fo::v7733::kValue, 41002, 88), 200);
  EXPECT_EQ(feed.out.AllLines(), (Strings{",41001|77", ",41002|88"}));
  EXPECT_TRUE(feed.out.Packets().empty());
}

// Groups share one counter shown in the group's row; 7324 keeps a count of
// its own out of row 7305; 7130 has no row.
TEST_F(Derivatives, GroupedCodesShareTheirRowsCounter) {
  for (int segment : {2, 3}) {
    SCOPED_TRACE(segment);
    NseFeed f;
    f.options.pktCounters = 1;
    for (int code : {7210, 7320, 6522, 9010, 7324, 7324}) f.Decode(segment, MessageBuilder(code, 40), 40);
    MessageBuilder pairs(7130, 60);
    pairs.ErrorCode(2);
    f.Decode(segment, pairs, 60);
    EXPECT_EQ(f.CounterCell(7320, 2), "2");
    EXPECT_EQ(f.CounterCell(6571, 2), "1");
    EXPECT_EQ(f.CounterCell(9011, 2), "1");
    EXPECT_EQ(f.CounterCell(7305, 2), "0");
    EXPECT_EQ(f.CounterCell(0, 2), "7") << "the message total";
    EXPECT_EQ(f.Count(segment, 7210), 2u);
    EXPECT_EQ(f.Count(segment, 7324), 2u);
    EXPECT_EQ(f.Count(segment, 7305), 0u);
    EXPECT_EQ(f.Count(segment, 7130), 1u);
    EXPECT_TRUE(f.out.Events().empty());
  }
}

TEST_F(Derivatives, FuturesAndOptionsReportAnUnhandledCodeOnceToTheLogAndTheCounterFile) {
  ASSERT_TRUE(feed.files.Open(2, SegmentFiles::kBpackCounterFile, feed.dir.File("BPACK_Counter_NFO.TXT"), "w+"));
  MessageBuilder m(7212, 96);
  m.ErrorCode(5);
  Decode(2, m, 96);
  Decode(2, m, 96);
  const std::string line = "FH : FO : Unhandled TrxCode EXG : Trx=7212 Err=5 MsgLen=96\n";
  EXPECT_EQ(feed.log.Lines(), Strings{line});
  EXPECT_EQ(ReadFile(feed.dir.File("BPACK_Counter_NFO.TXT")), line);
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.nfo.ReportedCodesText(), "NFO,7212,");
  for (int code : {1836, 6581, 7209, 7213, 7214}) Decode(2, MessageBuilder(code, 40), 40);
  EXPECT_EQ(feed.log.Lines().size(), 6u);
}

TEST_F(Derivatives, CurrencyDerivativesReportEveryInvalidCodeAndIgnore7214To7216) {
  ASSERT_TRUE(feed.files.Open(3, SegmentFiles::kBpackCounterFile, feed.dir.File("BPACK_Counter_NCD.TXT"), "w+"));
  feed.options.pktCounters = 1;
  for (int code : {7214, 7215, 7216}) Decode(3, MessageBuilder(code, 74), 74);
  EXPECT_EQ(ReadFile(feed.dir.File("BPACK_Counter_NCD.TXT")), "");
  EXPECT_EQ(feed.ncd.Count(7214), 0u);
  MessageBuilder m(7203, 440);
  m.ErrorCode(-1);
  Decode(3, m, 440);
  Decode(3, m, 440);
  const std::string line = "FH : FO : Invalid TrxCode EXG : Trx=7203 Err=-1 MsgLen=440\n";
  EXPECT_EQ(feed.log.Lines(), (Strings{line, line}));
  EXPECT_EQ(ReadFile(feed.dir.File("BPACK_Counter_NCD.TXT")), line + line);
  EXPECT_TRUE(feed.out.Events().empty());
}

}  // namespace
}  // namespace fh::testing
