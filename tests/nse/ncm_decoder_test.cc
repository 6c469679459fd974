#include "nse/ncm_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nse_messages.h"
#include "nse_test_support.h"

namespace fh::nse {
namespace {

using testing::CmTick;
using testing::CmWatch;
using testing::Depth;
using testing::Feed;
using testing::MarkedBuffer;
using testing::MessageBuilder;
using Strings = std::vector<std::string>;

class CapitalMarket : public ::testing::Test {
 protected:
  CapitalMarket() { feed.options.bcastDelta = 1; }

  // Hands the first length bytes of m to the decoder as the framing would;
  // returns the caller's buffer afterwards.
  std::vector<std::uint8_t> Decode(const MessageBuilder& m, int length) {
    MarkedBuffer buffer(m.Wire(length));
    decoder.Decode(buffer.data(), buffer.length());
    EXPECT_TRUE(buffer.MarkerIntact());
    return buffer.Content();
  }

  Feed feed;
  NcmDecoder decoder{feed.context, feed.instruments, feed.out, feed.industryIndex};
};

TEST_F(CapitalMarket, MarketWatchReportsTheLastTradedPriceOfTheNormalMarket) {
  feed.Subscribe(1, 2885);
  feed.Subscribe(1, 1594);
  Decode(testing::CmMarketWatchMessage({{2885, 123450}, {1594, 51000}}), cm::mw::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",2885|123450,1594|51000"});
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"1,2885|123450,1594|51000"});
}

TEST_F(CapitalMarket, SendsThePacketThenTheAllDeltaLineThenTheSubscribedOne) {
  feed.Subscribe(1, 7);
  Decode(testing::CmMarketWatchMessage({{7, 1}, {8, 2}}), cm::mw::kMessageLength);
  ASSERT_EQ(feed.out.events.size(), 3u);
  EXPECT_EQ(feed.out.events[0].kind, testing::RecordingOutput::Event::kPacket);
  EXPECT_EQ(feed.out.events[1].kind, testing::RecordingOutput::Event::kAll);
  EXPECT_EQ(feed.out.events[1].bytes, ",7|1,8|2");
  EXPECT_EQ(feed.out.events[2].kind, testing::RecordingOutput::Event::kSubscribed);
  EXPECT_EQ(feed.out.events[2].bytes, "1,7|1");
}

TEST_F(CapitalMarket, UnchangedValuesAreReportedOnce) {
  const MessageBuilder m = testing::CmMarketWatchMessage({{11, 500}, {12, 600}});
  Decode(m, cm::mw::kMessageLength);
  Decode(m, cm::mw::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",11|500,12|600"});
  EXPECT_TRUE(feed.out.SubscribedLines().empty());
}

TEST_F(CapitalMarket, TickerReportsOnlyRecordsOfMarketTypeOne) {
  Decode(testing::CmTickerMessage({{21, 2, 100}, {22, 1, 200}, {-5, 1, -300}}), cm::ticker::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",22|200,-5|-300"});
}

TEST_F(CapitalMarket, MarketByPriceReportsOnlyNormalBookInTrading) {
  Depth open{31, 1000};
  Depth preOpen{32, 2000};
  preOpen.tradingStatus = 1;
  Depth oddLot{33, 3000};
  oddLot.bookType = 2;
  Decode(testing::CmMarketByPriceMessage({open, preOpen}), cm::mbp::kMessageLength);
  Decode(testing::CmMarketByPriceMessage({oddLot}), cm::mbp::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",31|1000"});
}

TEST_F(CapitalMarket, NoTextLeavesWhileBcastDeltaIsOff) {
  feed.options.bcastDelta = 0;
  feed.Subscribe(1, 41);
  Decode(testing::CmMarketWatchMessage({{41, 9}}), cm::mw::kMessageLength);
  Decode(testing::CmSecurityMessage(42, "ABC", "EQ"), cm::security::kMessageLength);
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.SubscribedLines().empty());
}

TEST_F(CapitalMarket, MarketByPriceConvertsBothRecordsInPlaceAndKeepsUnconvertedBytes) {
  feed.options.ctcl = 0;
  const MessageBuilder m = testing::CmMarketByPriceMessage({{51, 10}, {52, 20}});
  const std::vector<std::uint8_t> after = Decode(m, cm::mbp::kMessageLength);
  const std::vector<std::uint8_t> expected(m.HostBytes(), m.HostBytes() + cm::mbp::kMessageLength);
  EXPECT_EQ(after, expected);
  for (int i = 0; i < 2; ++i) {
    const int r = MessageBuilder::RecordAt(i, cm::mbp::kRecordSize);
    EXPECT_EQ(after[r + cm::mbp::kNetChangeIndicator], '+');
    EXPECT_EQ(after[r + cm::mbp::kFiller], 0xEE);
    EXPECT_EQ(after[r + cm::mbp::kDepthIndicator], 0x44);
    EXPECT_EQ(after[r + cm::mbp::kDepthIndicator + 1], 0x45);
  }
}

TEST_F(CapitalMarket, TickerPacketIs496BytesOfHeaderAndConvertedBody) {
  const MessageBuilder m = testing::CmTickerMessage({{61, 1, 100, 5}, {62, 2, 200, 6}});
  Decode(m, cm::ticker::kMessageLength);
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], m.ExpectedPacket(20, 100, 496));
  const auto* p = reinterpret_cast<const std::uint8_t*>(packets[0].data());
  EXPECT_EQ(Load16(p + 0), 10);
  EXPECT_EQ(Load16(p + 2), 20);
  EXPECT_EQ(Load16(p + 4), 100);
  EXPECT_EQ(Load16(p + 44), 496);
  EXPECT_EQ(p[46], 2);  // NoOfRecords, low byte first
  EXPECT_EQ(feed.out.events.front().kind, testing::RecordingOutput::Event::kPacket);
}

TEST_F(CapitalMarket, ForwardsEachCodeWithItsPacketLength) {
  Decode(testing::CmMarketWatchMessage({{1, 1}}), cm::mw::kMessageLength);
  Decode(testing::CmMarketByPriceMessage({{2, 2}}), cm::mbp::kMessageLength);
  const MessageBuilder industry = testing::CmIndustryIndexMessage({{"Banks", 1234}});
  const std::vector<std::uint8_t> wire = industry.Wire(cm::industry::kMessageLength);
  const std::vector<std::uint8_t> after = Decode(industry, cm::industry::kMessageLength);
  const MessageBuilder indices = testing::IndicesMessage(6);
  Decode(indices, cm::indices::kMessageLength);
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[0].size(), 448u);
  EXPECT_EQ(packets[1].size(), 472u);
  EXPECT_EQ(packets[2], industry.ExpectedPacket(20, 100, 490));
  EXPECT_EQ(packets[3], indices.ExpectedPacket(20, 100, 480));
  EXPECT_EQ(after, wire) << "7203 is converted in a private copy";
}

TEST_F(CapitalMarket, NoPacketWithoutAConnectedBridgeOrWithCtclOff) {
  feed.out.connected = false;
  Decode(testing::CmTickerMessage({{1, 1, 1}}), cm::ticker::kMessageLength);
  feed.out.connected = true;
  feed.options.ctcl = 0;
  Decode(testing::CmTickerMessage({{1, 1, 2}}), cm::ticker::kMessageLength);
  EXPECT_TRUE(feed.out.Packets().empty());
}

TEST_F(CapitalMarket, NewSecurityIsAnnouncedOnceToSubscribers) {
  Decode(testing::CmSecurityMessage(22, "ABC", "EQ"), cm::security::kMessageLength);
  Decode(testing::CmSecurityMessage(22, "ABC", "EQ"), cm::security::kMessageLength);
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"1,22|1:22:ABC       :0:0:EQ"});
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.Packets().empty());
  InstrumentRecord* r = feed.instruments.Find("1,22");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 22);
  EXPECT_EQ(r->lastValue, -1);
  EXPECT_EQ(r->subscribed, -1);
  EXPECT_STREQ(r->name, "");

  Decode(testing::CmMarketByPriceMessage({{22, 777}}), cm::mbp::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",22|777"});
  EXPECT_EQ(feed.out.SubscribedLines().size(), 1u) << "not subscribed: all-delta line only";
}

TEST_F(CapitalMarket, SymbolIsCutAtANulByte) {
  MessageBuilder m = testing::CmSecurityMessage(23, "XY", "BE");
  m.Raw8(cm::security::kSymbol + 2, 0);
  Decode(m, cm::security::kMessageLength);
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"1,23|1:23:XY:0:0:BE"});
}

TEST_F(CapitalMarket, UnhandledCodeIsLoggedOnceAndIgnoredCodesLeaveNoTrace) {
  Decode(MessageBuilder(7309, 100), 100);
  Decode(MessageBuilder(7309, 100), 100);
  for (int code : {1833, 6511, 7211, 7214, 7215, 7216, 9011}) Decode(MessageBuilder(code, 100), 100);
  EXPECT_EQ(feed.log.Lines(), Strings{"FH : CM : Unhandedled TrxCode CM : 7309\n"});
  EXPECT_EQ(decoder.ReportedCodesText(), "NCM,7309,");
  EXPECT_TRUE(feed.out.events.empty());
  EXPECT_EQ(decoder.MessageTotal(), 9u);
}

TEST_F(CapitalMarket, ACodeInsideAReportedOneCountsAsReported) {
  Decode(MessageBuilder(7309, 100), 100);
  Decode(MessageBuilder(730, 100), 100);  // "730" occurs in "7309,"
  EXPECT_EQ(feed.log.Size(), 1u);
}

TEST_F(CapitalMarket, ReportedCodesStopGrowingWhenTheListIsFull) {
  int logged = 0;
  for (int code = 10000; code < 10400; ++code) {
    const std::uint64_t before = feed.log.Sequence();
    Decode(MessageBuilder(code, 40), 40);
    logged += static_cast<int>(feed.log.Sequence() - before);
  }
  const std::string list(decoder.ReportedCodesText());
  EXPECT_LT(list.size(), std::size_t{1024});
  EXPECT_EQ(logged, static_cast<int>((list.size() - 4) / 6));  // "NCM," then "1xxxx," per code
  EXPECT_GT(logged, 150);
  EXPECT_LT(logged, 400);
}

TEST_F(CapitalMarket, CountersAreShownOnlyWithPktCounters) {
  Decode(testing::CmTickerMessage({{1, 1, 1}}), cm::ticker::kMessageLength);
  EXPECT_EQ(feed.CounterCell(7202, 1), "0");
  feed.options.pktCounters = 1;
  Decode(testing::CmTickerMessage({{1, 1, 2}}), cm::ticker::kMessageLength);
  EXPECT_EQ(feed.CounterCell(7202, 1), "2");
  EXPECT_EQ(feed.CounterCell(7202, 2), "0");
  EXPECT_EQ(decoder.Count(7202), 2u);
}

TEST_F(CapitalMarket, IndustryIndexShowsItsOwnCountInTheCashColumn) {
  feed.options.pktCounters = 1;
  Decode(testing::CmIndustryIndexMessage({{"Banks", 1}}), cm::industry::kMessageLength);
  Decode(testing::CmIndustryIndexMessage({{"Banks", 2}}), cm::industry::kMessageLength);
  EXPECT_EQ(feed.CounterCell(7203, 1), "2");
  EXPECT_EQ(feed.CounterCell(7203, 2), "0");
  EXPECT_EQ(feed.industryIndex.cm, 2u);
  EXPECT_EQ(feed.industryIndex.fo, 0u);
  EXPECT_EQ(decoder.Count(7203), 2u);
}

TEST_F(CapitalMarket, WatchedInstrumentIsShownInTheGrid) {
  feed.options.pktCounters = 1;
  feed.options.bcastDelta = 0;
  CmWatch w{2885, 1500};
  w.buyPrice = 1499;
  w.sellPrice = 1501;
  w.buyVolume = 10;
  w.sellVolume = 20;
  Decode(testing::CmMarketWatchMessage({{1, 1}, w}), cm::mw::kMessageLength);
  EXPECT_EQ(feed.Cell(4, 1), "1499");
  EXPECT_EQ(feed.Cell(4, 2), "1501");
  EXPECT_EQ(feed.Cell(5, 1), "10");
  EXPECT_EQ(feed.Cell(5, 2), "20");
  EXPECT_EQ(feed.Cell(6, 1), "1500");

  Decode(testing::CmTickerMessage({{2885, 1, 1510, 30}}), cm::ticker::kMessageLength);
  EXPECT_EQ(feed.Cell(6, 1), "1510");
  EXPECT_EQ(feed.Cell(6, 2), "30");

  Depth d{2885, 1520};
  d.lastTradeQuantity = 40;
  d.volume = 50000;
  d.lastTradeTime = 1234;
  d.totalBuy = 1e6 + 0.4;
  d.totalSell = 2.5e6;
  Decode(testing::CmMarketByPriceMessage({d}), cm::mbp::kMessageLength);
  EXPECT_EQ(feed.Cell(4, 1), "1519");  // best buy
  EXPECT_EQ(feed.Cell(4, 2), "1521");  // best sell
  EXPECT_EQ(feed.Cell(5, 1), "100");
  EXPECT_EQ(feed.Cell(5, 2), "600");
  EXPECT_EQ(feed.Cell(6, 1), "1520");
  EXPECT_EQ(feed.Cell(6, 2), "40");
  EXPECT_EQ(feed.Cell(7, 1), "50000");
  EXPECT_EQ(feed.Cell(7, 2), "1234");
  EXPECT_EQ(feed.Cell(8, 1), "1000000");
  EXPECT_EQ(feed.Cell(8, 2), "2500000");
}

// Items of 19 characters (",-32768|-2000000000") and one of 18: 26 + 1
// items make exactly 512 characters, which still fit; the next one starts a
// new line.
TEST_F(CapitalMarket, ALineThatWouldPass512CharactersIsSentFirst) {
  std::vector<CmTick> ticks;
  for (int i = 0; i < 28; ++i) {
    const int value = i == 26 ? -200000000 - i : -2000000000 + i;
    ticks.push_back({-32768 + i, 1, value});
  }
  for (int i = 0; i < 28; ++i) feed.Subscribe(1, -32768 + i);
  Decode(testing::CmTickerMessage(ticks), cm::ticker::kMessageLength);

  const Strings all = feed.out.AllLines();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].size(), 512u);
  EXPECT_EQ(all[1], ",-32741|-1999999973");
  const Strings subscribed = feed.out.SubscribedLines();
  ASSERT_EQ(subscribed.size(), 2u);
  EXPECT_EQ(subscribed[0], "1" + all[0]);
  EXPECT_EQ(subscribed[1], "1" + all[1]);
  // The full all-delta line leaves before the full subscribed line.
  ASSERT_EQ(feed.out.events.size(), 5u);
  EXPECT_EQ(feed.out.events[0].kind, testing::RecordingOutput::Event::kAll);
  EXPECT_EQ(feed.out.events[1].kind, testing::RecordingOutput::Event::kSubscribed);
}

}  // namespace
}  // namespace fh::nse
