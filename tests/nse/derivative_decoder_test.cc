#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nse/ncd_decoder.h"
#include "nse/nfo_decoder.h"
#include "nse_messages.h"
#include "nse_test_support.h"

namespace fh::nse {
namespace {

using testing::Depth;
using testing::Feed;
using testing::FoTick;
using testing::FoWatch;
using testing::MarkedBuffer;
using testing::MessageBuilder;
using Strings = std::vector<std::string>;

template <class Decoder>
std::vector<std::uint8_t> DecodeInto(Decoder& decoder, const MessageBuilder& m, int length) {
  MarkedBuffer buffer(m.Wire(length));
  decoder.Decode(buffer.data(), buffer.length());
  EXPECT_TRUE(buffer.MarkerIntact());
  EXPECT_EQ(buffer.Content(), m.Wire(length)) << "the caller's buffer is never changed";
  return buffer.Content();
}

class FuturesAndOptions : public ::testing::Test {
 protected:
  FuturesAndOptions() { feed.options.bcastDelta = 1; }
  void Decode(const MessageBuilder& m, int length) { DecodeInto(decoder, m, length); }

  Feed feed;
  NfoDecoder decoder{feed.context, feed.instruments, feed.out, feed.industryIndex};
};

TEST_F(FuturesAndOptions, MarketWatchReportsEveryRecordsLastTradedPrice) {
  feed.Subscribe(2, 43521);
  Decode(testing::FoMarketWatchMessage({{43521, 1590}, {43522, 1610}}), fo::mw::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), Strings{",43521|1590,43522|1610"});
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"2,43521|1590"});
  const MessageBuilder again = testing::FoMarketWatchMessage({{43521, 1590}, {43522, 1610}});
  Decode(again, fo::mw::kMessageLength);
  EXPECT_EQ(feed.out.AllLines().size(), 1u) << "unchanged values are not reported again";
  ASSERT_EQ(feed.out.Packets().size(), 2u);
  EXPECT_EQ(feed.out.Packets()[1], again.ExpectedPacket(21, 100, 478));
}

TEST_F(FuturesAndOptions, TickerAndMarketByPriceFilterLikeTheCapitalMarket) {
  Decode(testing::FoTickerMessage({{100001, 2, 5}, {100002, 1, 6}}), fo::ticker::kMessageLength);
  Depth ok{100003, 7};
  Depth halted{100004, 8};
  halted.tradingStatus = 3;
  Depth rfq{100005, 9};
  rfq.bookType = 7;
  const MessageBuilder mbp = testing::FoMarketByPriceMessage({ok, halted});
  Decode(mbp, fo::mbp::kMessageLength);
  Decode(testing::FoMarketByPriceMessage({rfq}), fo::mbp::kMessageLength);
  EXPECT_EQ(feed.out.AllLines(), (Strings{",100002|6", ",100003|7"}));
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].size(), 490u);
  EXPECT_EQ(packets[1], mbp.ExpectedPacket(21, 100, 476));
}

TEST_F(FuturesAndOptions, ContractUpdateIsOnlyCountedWhileBcastDeltaIsOff) {
  feed.options.bcastDelta = 0;
  const MessageBuilder m = testing::ContractMessage(43521, "NIFTY", 1325376000, 540000, "CE");
  Decode(m, 300);
  EXPECT_TRUE(feed.out.events.empty());
  EXPECT_EQ(feed.instruments.Find("2,43521"), nullptr);
  EXPECT_EQ(decoder.Count(7305), 1u);

  feed.options.bcastDelta = 1;
  Decode(m, 300);
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"2,43521|2:43521:NIFTY     :1325376000:540000:CE"});
  EXPECT_TRUE(feed.out.AllLines().empty());
  Decode(m, 300);
  EXPECT_EQ(feed.out.SubscribedLines().size(), 1u);
}

TEST_F(FuturesAndOptions, IndustryIndexRecordsAreAppendedToTheIndexFile) {
  const MessageBuilder m =
      testing::FoIndustryIndexMessage({{"BANK NIFTY", 1234567}, {"CNX IT", -5}, {"NIFTY MIDCAP 50X", 42}});
  Decode(m, fo::industry::kMessageLength);
  Decode(testing::FoIndustryIndexMessage({{"NIFTY", 1}}), fo::industry::kMessageLength);
  EXPECT_EQ(decoder.IndexFilePath(), feed.dir.File("IndexBcastFO.txt"));
  EXPECT_EQ(fh::testing::ReadFile(feed.dir.File("IndexBcastFO.txt")),
            "BANK NIFTY      : 1234567\n"
            "CNX IT          : -5\n"
            "NIFTY MIDCAP 50 : 42\n"
            "NIFTY           : 1\n");
  ASSERT_EQ(feed.out.Packets().size(), 2u);
  EXPECT_EQ(feed.out.Packets()[0], m.ExpectedPacket(21, 100, 448));
  EXPECT_TRUE(feed.out.AllLines().empty());
}

TEST_F(FuturesAndOptions, IndustryIndexCountsInTheSharedObjectsFoCount) {
  feed.options.pktCounters = 1;
  Decode(testing::FoIndustryIndexMessage({{"A", 1}}), fo::industry::kMessageLength);
  EXPECT_EQ(feed.industryIndex.fo, 1u);
  EXPECT_EQ(feed.industryIndex.cm, 0u);
  EXPECT_EQ(feed.CounterCell(7203, 2), "1");
  EXPECT_EQ(feed.CounterCell(7203, 1), "0");
}

TEST_F(FuturesAndOptions, IndicesAndSpreadAreForwardedWhole) {
  const MessageBuilder indices = testing::IndicesMessage(6);
  const MessageBuilder spread = testing::SpreadMessage(35001, 35002);
  Decode(indices, fo::indices::kMessageLength);
  Decode(spread, fo::spread::kMessageLength);
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0], indices.ExpectedPacket(21, 100, 480));
  EXPECT_EQ(packets[1], spread.ExpectedPacket(21, 100, 210));
  EXPECT_TRUE(feed.out.AllLines().empty());
}

TEST_F(FuturesAndOptions, Values7732And7733AreReported) {
  Decode(testing::ValueMessage<fo::v7732::kConverted>(7732, fo::v7732::kToken, fo::v7732::kValue, 41001, 77),
         200);
  Decode(testing::ValueMessage<fo::v7733::kConverted>(7733, fo::v7733::kToken, fo::v7733::kValue, 41002, 88),
         200);
  EXPECT_EQ(feed.out.AllLines(), (Strings{",41001|77", ",41002|88"}));
  EXPECT_TRUE(feed.out.Packets().empty());
}

TEST_F(FuturesAndOptions, GroupedCodesShareTheirRowsCounter) {
  feed.options.pktCounters = 1;
  Decode(MessageBuilder(7210, 40), 40);
  Decode(MessageBuilder(7320, 40), 40);
  Decode(MessageBuilder(6522, 40), 40);
  Decode(MessageBuilder(9010, 40), 40);
  EXPECT_EQ(feed.CounterCell(7320, 2), "2");
  EXPECT_EQ(feed.CounterCell(6571, 2), "1");
  EXPECT_EQ(feed.CounterCell(9011, 2), "1");
  EXPECT_EQ(feed.CounterCell(0, 2), "4") << "the message total";
  EXPECT_EQ(decoder.Count(7210), 2u);
  EXPECT_EQ(decoder.MessageTotal(), 4u);
}

TEST_F(FuturesAndOptions, Code7324KeepsItsOwnCountOutOfRow7305) {
  feed.options.pktCounters = 1;
  Decode(testing::ContractMessage(1, "X", 1, 1, "PE"), 300);
  Decode(MessageBuilder(7324, 40), 40);
  Decode(MessageBuilder(7324, 40), 40);
  EXPECT_EQ(feed.CounterCell(7305, 2), "1");
  EXPECT_EQ(decoder.Count(7324), 2u);
  EXPECT_EQ(decoder.Count(7305), 1u);
}

TEST_F(FuturesAndOptions, UnhandledCodeIsReportedOnceToTheLogAndTheCounterFile) {
  ASSERT_TRUE(feed.files.Open(2, SegmentFiles::kBpackCounterFile, feed.dir.File("BPACK_Counter_NFO.TXT"), "w+"));
  MessageBuilder m(7212, 96);
  m.ErrorCode(5);
  Decode(m, 96);
  Decode(m, 96);
  const std::string line = "FH : FO : Unhandled TrxCode EXG : Trx=7212 Err=5 MsgLen=96\n";
  EXPECT_EQ(feed.log.Lines(), Strings{line});
  EXPECT_EQ(fh::testing::ReadFile(feed.dir.File("BPACK_Counter_NFO.TXT")), line);
  EXPECT_TRUE(feed.out.events.empty());
  EXPECT_EQ(decoder.ReportedCodesText(), "NFO,7212,");
  for (int code : {1836, 6581, 7209, 7213, 7214}) Decode(MessageBuilder(code, 40), 40);
  EXPECT_EQ(feed.log.Size(), 6u);
}

TEST_F(FuturesAndOptions, WatchedContractIsShownInTheGrid) {
  feed.options.pktCounters = 1;
  FoWatch w{38665, 900};
  w.buyPrice = 899;
  w.sellPrice = 901;
  w.buyVolume = 3;
  w.sellVolume = 4;
  Decode(testing::FoMarketWatchMessage({w}), fo::mw::kMessageLength);
  EXPECT_EQ(feed.Cell(4, 1), "899");
  EXPECT_EQ(feed.Cell(4, 2), "901");
  EXPECT_EQ(feed.Cell(5, 1), "3");
  EXPECT_EQ(feed.Cell(5, 2), "4");
  EXPECT_EQ(feed.Cell(6, 1), "900");
  Depth d{38665, 950};
  d.volume = 123;
  d.lastTradeTime = 456;
  d.lastTradeQuantity = 75;
  Decode(testing::FoMarketByPriceMessage({d}), fo::mbp::kMessageLength);
  EXPECT_EQ(feed.Cell(4, 1), "949");
  EXPECT_EQ(feed.Cell(4, 2), "951");
  EXPECT_EQ(feed.Cell(6, 2), "75");
  EXPECT_EQ(feed.Cell(7, 1), "123");
  EXPECT_EQ(feed.Cell(7, 2), "456");
  Decode(testing::FoTickerMessage({{38665, 1, 960, 15}}), fo::ticker::kMessageLength);
  EXPECT_EQ(feed.Cell(6, 1), "960");
  EXPECT_EQ(feed.Cell(6, 2), "15");
  EXPECT_EQ(feed.Cell(8, 1), "0") << "row 8 belongs to the capital market";
}

class CurrencyDerivatives : public ::testing::Test {
 protected:
  CurrencyDerivatives() { feed.options.bcastDelta = 1; }
  void Decode(const MessageBuilder& m, int length) { DecodeInto(decoder, m, length); }

  Feed feed;
  NcdDecoder decoder{feed.context, feed.instruments, feed.out};
};

TEST_F(CurrencyDerivatives, Value7213LeavesOnlyOnTheSubscribedLine) {
  feed.Subscribe(3, 8001);
  Decode(testing::Cd7213Message(8001, 74250000), cd::v7213::kMessageLength);
  EXPECT_EQ(feed.out.SubscribedLines(), Strings{"3,8001|74250000"});
  EXPECT_TRUE(feed.out.AllLines().empty());
}

TEST_F(CurrencyDerivatives, Packet7213Is82BytesWith22And0x9680) {
  const MessageBuilder m = testing::Cd7213Message(8002, 1);
  Decode(m, cd::v7213::kMessageLength);
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], m.ExpectedPacket(22, 0x9680, 82));
  const auto* p = reinterpret_cast<const std::uint8_t*>(packets[0].data());
  EXPECT_EQ(Load16(p + 2), 22);
  EXPECT_EQ(static_cast<std::uint16_t>(Load16(p + 4)), 0x9680);
  EXPECT_EQ(Load16(p + 44), 82);
}

TEST_F(CurrencyDerivatives, SharedHandlersUseSegmentThree) {
  feed.Subscribe(3, 9001);
  Decode(testing::FoMarketWatchMessage({{9001, 7400}}), fo::mw::kMessageLength);
  Decode(testing::ContractMessage(9002, "USDINR", 1400000000, 0, "FF"), 300);
  EXPECT_EQ(feed.out.SubscribedLines(), (Strings{"3,9001|7400", "3,9002|2:9002:USDINR    :1400000000:0:FF"}));
  EXPECT_TRUE(feed.out.AllLines().empty());
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), 478u);
  EXPECT_NE(feed.instruments.Find("3,9002"), nullptr);
}

TEST_F(CurrencyDerivatives, Codes7214To7216LeaveNoTrace) {
  feed.options.pktCounters = 1;
  ASSERT_TRUE(feed.files.Open(3, SegmentFiles::kBpackCounterFile, feed.dir.File("BPACK_Counter_NCD.TXT"), "w+"));
  for (int code : {7214, 7215, 7216}) Decode(MessageBuilder(code, 74), 74);
  EXPECT_TRUE(feed.out.events.empty());
  EXPECT_EQ(feed.log.Size(), 0u);
  EXPECT_EQ(fh::testing::ReadFile(feed.dir.File("BPACK_Counter_NCD.TXT")), "");
  EXPECT_EQ(decoder.Count(7214), 0u);
}

TEST_F(CurrencyDerivatives, EveryInvalidCodeIsReported) {
  ASSERT_TRUE(feed.files.Open(3, SegmentFiles::kBpackCounterFile, feed.dir.File("BPACK_Counter_NCD.TXT"), "w+"));
  MessageBuilder m(7203, 440);
  m.ErrorCode(-1);
  Decode(m, 440);
  Decode(m, 440);
  const std::string line = "FH : FO : Invalid TrxCode EXG : Trx=7203 Err=-1 MsgLen=440\n";
  EXPECT_EQ(feed.log.Lines(), (Strings{line, line}));
  EXPECT_EQ(fh::testing::ReadFile(feed.dir.File("BPACK_Counter_NCD.TXT")), line + line);
  EXPECT_TRUE(feed.out.events.empty());
}

TEST_F(CurrencyDerivatives, Code7324AndThe7130PairsAreCountedOnly) {
  feed.options.pktCounters = 1;
  MessageBuilder pairs(7130, 60);
  pairs.ErrorCode(2);
  Decode(pairs, 60);
  Decode(MessageBuilder(7324, 40), 40);
  EXPECT_EQ(decoder.Count(7130), 1u);
  EXPECT_EQ(decoder.Count(7324), 1u);
  EXPECT_EQ(feed.CounterCell(7305, 2), "0");
  EXPECT_TRUE(feed.out.events.empty());
}

}  // namespace
}  // namespace fh::nse
