#include "bse/bse_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "bse_feed.h"
#include "support/test_dir.h"

namespace fh::testing {
namespace {

class BseDecoderTest : public ::testing::Test {
 protected:
  BseDecoderTest() { feed.options.bcastDelta = 1; }
  Strings Lines() const { return feed.out.SubscribedLines(); }
  BseFeed feed;
};

// --- delta items ----------------------------------------------------------

TEST_F(BseDecoderTest, MarketPictureReportsOnlySelectorAZeroWithSelectorBThreeToFive) {
  feed.Decode(BseBlock(2020)
                  .Selected(1, 10, 0, 3)
                  .Selected(2, 20, 0, 5)
                  .Selected(500112, 71000, 0, 4)
                  .Selected(3, 30, 0, 6)
                  .Selected(500113, 72000, 0, 2)
                  .Selected(4, 40, 1, 4)
                  .Selected(5, 50, -1, 3)
                  .Build());
  EXPECT_EQ(Lines(), Strings{"4,1|10,2|20,500112|71000"});
  EXPECT_EQ(feed.instruments.Find("4,500113"), nullptr);
  EXPECT_EQ(feed.decoder.Count(2020), 1u);
}

TEST_F(BseDecoderTest, TokenValuesGoIntoTheOneLineSubscribedOrNotAndOnlyWhenChanged) {
  feed.instruments.FindOrCreate("4,11", 11, "")->subscribed = 1;
  const Bytes block = BseBlock(2014).TokenValue(11, 345000).TokenValue(500325, -5).Build();
  feed.Decode(block);
  feed.Decode(block);
  EXPECT_EQ(Lines(), Strings{"4,11|345000,500325|-5"});
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_EQ(feed.decoder.Count(2014), 2u);
}

TEST_F(BseDecoderTest, CodeValueTrimsTrailingBlanksAndKeysOnAllSevenCharacters) {
  feed.Decode(BseBlock(2011).CodeValue("IDXA   ", 3510012).Build());
  feed.Decode(BseBlock(2012).CodeValue("IDXA   ", 3510012).Build());
  feed.Decode(BseBlock(2011).CodeValue("       ", 9).CodeValue("A B    ", 8).CodeValue("SENSEXX", 7).Build());
  EXPECT_EQ(Lines(), (Strings{"4,IDXA|3510012", "4,|9,A B|8,SENSEXX|7"}));
  ASSERT_NE(feed.instruments.Find("IDXA   "), nullptr);
  EXPECT_EQ(feed.instruments.Find("IDXA"), nullptr);
  EXPECT_EQ(feed.decoder.Count(2011), 3u);
  EXPECT_EQ(feed.decoder.Count(2012), 3u);
}

// --- the 512-character line -----------------------------------------------

TEST_F(BseDecoderTest, ALineOfExactly512IsSentWholeAndTheNextItemStartsANewOne) {
  BseBlock block(2014);
  std::string all;
  for (int i = 0; i < 75; ++i) {
    block.TokenValue(1000000 + i, 2000000 + i);
    all += "," + std::to_string(1000000 + i) + "|" + std::to_string(2000000 + i);
  }
  feed.Decode(block.Build());
  const Strings lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 513u);
  EXPECT_EQ(lines[1].size(), 513u);
  EXPECT_EQ(lines[2].size(), 1u + 11u * 16u);
  EXPECT_EQ(lines[0].substr(1) + lines[1].substr(1) + lines[2].substr(1), all);
}

// --- unhandled types ------------------------------------------------------

TEST_F(BseDecoderTest, UnhandledTypeIsLoggedOnceAndItsSubstringsNever) {
  feed.Decode(BseBlock(1910).Head(8).Build());
  feed.Decode(BseBlock(1910).Head(8).Build());
  feed.Decode(BseBlock(191).Head(8).Build());
  feed.Decode(BseBlock(-7).Build());
  EXPECT_EQ(feed.LinesContaining("Unhandedled"), (Strings{"FH : BCM : Unhandedled TrxCode BCM : 1910\n",
                                                          "FH : BCM : Unhandedled TrxCode BCM : -7\n"}));
  EXPECT_EQ(feed.decoder.UnhandledBseTypes(), "BCM,1910,-7,");
  EXPECT_EQ(feed.decoder.Count(1910), 0u);
  // The feed's figures count every one of them, each by its own type.
  EXPECT_EQ(feed.metrics.Of(kSegBcm).unhandled.Get(), 4u);
  EXPECT_EQ(feed.metrics.Messages(kSegBcm, 1910), 2u);
  EXPECT_EQ(feed.metrics.Messages(kSegBcm, 191), 1u);
  EXPECT_EQ(feed.metrics.Of(kSegBcm).otherCodes.Get(), 1u);
}

TEST_F(BseDecoderTest, UnhandledListStopsGrowingWhenFull) {
  // Seven-digit types never occur inside one another: each takes 8 characters,
  // so 511 fit behind "BCM," in 4,095 characters.
  for (int i = 0; i < 551; ++i) feed.Decode(BseBlock(1000000 + i).Head(4).Build());
  EXPECT_EQ(feed.LinesContaining("Unhandedled").size(), 511u);
  EXPECT_EQ(feed.decoder.UnhandledBseTypes().size(), 4u + 8u * 511u);
}

// --- 2017 and the options -------------------------------------------------

TEST_F(BseDecoderTest, Type2017LeavesNoTrace) {
  const auto version = feed.grid.Version();
  feed.options.pktCounters = 1;
  feed.Decode(BseBlock(2017).Head(40).Build());
  EXPECT_EQ(feed.decoder.Count(2017), 0u);
  EXPECT_TRUE(feed.log.Lines().empty());
  EXPECT_EQ(feed.decoder.UnhandledBseTypes(), "BCM,");
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.grid.Version(), version);
}

TEST_F(BseDecoderTest, WithBcastDeltaOffAMarketPictureOnlyCounts) {
  feed.options.bcastDelta = 0;
  feed.Decode(BseBlock(2020).Selected(500112, 71000, 0, 4).Build());
  feed.Decode(BseBlock(2014).TokenValue(500113, 1).Build());
  feed.Decode(BseBlock(2011).CodeValue("IDXA   ", 1).Build());
  EXPECT_EQ(feed.decoder.Count(2020), 1u);
  EXPECT_EQ(feed.decoder.Count(2014), 1u);
  EXPECT_EQ(feed.decoder.Count(2011), 1u);
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.instruments.KeyCount(), 0u);
}

TEST_F(BseDecoderTest, CountsReachTheGridOnlyWithPacketCounters) {
  feed.grid.SetRows(2);
  feed.grid.SetCols(3);
  feed.grid.SetCellText(3, "2002");
  feed.grid.SetCellText(4, "0");
  feed.Decode(BseBlock(2002).Build());
  EXPECT_EQ(feed.grid.CellText(1, 1), "0");
  feed.options.pktCounters = 1;
  feed.Decode(BseBlock(2003).Build());
  EXPECT_EQ(feed.grid.CellText(1, 1), "2");
  EXPECT_EQ(feed.decoder.Count(2002), 2u);
  EXPECT_EQ(feed.metrics.Messages(kSegBcm, 2002), 1u);  // the figures keep the two types apart
  EXPECT_EQ(feed.metrics.Messages(kSegBcm, 2003), 1u);
  EXPECT_EQ(feed.metrics.Of(kSegBcm).unhandled.Get(), 0u);
}

// --- 1903 and 1904: debug-log lines ---------------------------------------

TEST_F(BseDecoderTest, DebugLogWhateverBcastDeltaShowsTheDeclaredCountButWalksOnlyTheWorkArea) {
  feed.options.bcastDelta = 0;
  BseBlock block(1904);
  block.AddRecord();
  block.AddRecord();
  feed.Decode(block.Build());
  feed.Decode(BseBlock(1903).DeclaredCount(-3).Build());
  feed.Decode(BseBlock(1903).DeclaredCount(32767).Build());
  const std::string log = ReadFile(feed.dir.File("FH_Debuglog_BCM.txt"));
  EXPECT_EQ(log.rfind("MsgType:1904 NoOfRecs:2\nMsgType:1904 NoOfRecs:2 i:0\nMsgType:1904 NoOfRecs:2 i:1\n"
                      "MsgType:1903 NoOfRecs:-3\nMsgType:1903 NoOfRecs:32767\n", 0), 0u);
  // (4096 - 4 - 4) / 8 records fit the work area.
  EXPECT_NE(log.find("i:510\n"), std::string::npos);
  EXPECT_EQ(log.find("i:511\n"), std::string::npos);
}

// --- malformed blocks -----------------------------------------------------

TEST_F(BseDecoderTest, BlocksWithoutAPayloadAreSkipped) {
  feed.Decode(BseBlock(2014).TokenValue(1, 1).Length(0).Build());
  feed.Decode(BseBlock(2014).TokenValue(1, 1).Length(-40).Build());
  const Bytes block = BseBlock(2014).TokenValue(1, 1).Build();
  feed.Decode(Bytes(block.begin(), block.begin() + 6));  // shorter than its header
  feed.decoder.DecodeBseBlock(nullptr, 0);
  EXPECT_EQ(feed.decoder.Count(2014), 0u);
  EXPECT_TRUE(feed.out.Events().empty());
}

TEST_F(BseDecoderTest, PayloadShorterThanItsLengthReadsAsZeros) {
  // A first block leaves token 8 in the work area; the second claims two
  // records but carries one, so its second record must read as zeros.
  feed.Decode(BseBlock(2014).TokenValue(7, 70).TokenValue(8, 80).Build());
  feed.out.Clear();
  feed.Decode(BseBlock(2014).TokenValue(7, 71).TokenValue(8, 81).Length(28 + 24).CutPayload(28 + 12).Build());
  EXPECT_EQ(Lines(), Strings{"4,7|71,0|0"});
}

TEST_F(BseDecoderTest, CountPastTheWorkAreaReadsOnlyTheWorkArea) {
  feed.Decode(BseBlock(2020).Selected(1, 1, 0, 4).DeclaredCount(32767).Build());
  feed.Decode(BseBlock(1916).DeclaredCount(-32768).Build());
  feed.Decode(BseBlock(4444).DeclaredCount(32767).Build());
  EXPECT_EQ(feed.decoder.Count(2020), 1u);
  EXPECT_EQ(feed.decoder.Count(1916), 1u);
  EXPECT_EQ(feed.decoder.Count(4444), 1u);
  EXPECT_EQ(Lines(), Strings{"4,1|1"});
}

TEST_F(BseDecoderTest, PayloadLargerThanTheWorkAreaIsCutToIt) {
  BseBlock block(2014);
  for (int i = 0; i < 400; ++i) block.TokenValue(i + 1, 5);  // 28 + 4800 bytes
  feed.Decode(block.Build());
  std::string all;
  for (const std::string& line : Lines()) all += line.substr(1);
  // (4096 - 28) / 12 = 339 records fit.
  EXPECT_NE(all.find(",339|5"), std::string::npos);
  EXPECT_EQ(all.find(",340|5"), std::string::npos);
}

}  // namespace
}  // namespace fh::testing
