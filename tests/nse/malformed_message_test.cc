// Messages that lie: record counts beyond the layout, lengths shorter than
// the layout, random bytes. Nothing may be read or written past the bytes
// handed in (the buffers are exact heap blocks plus a marker byte), and
// nothing may crash.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "nse/ncd_decoder.h"
#include "nse/ncm_decoder.h"
#include "nse/nfo_decoder.h"
#include "nse_messages.h"
#include "nse_test_support.h"

namespace fh::nse {
namespace {

using testing::CmTick;
using testing::Feed;
using testing::MarkedBuffer;
using testing::MessageBuilder;
using Strings = std::vector<std::string>;

class Malformed : public ::testing::Test {
 protected:
  Malformed() {
    feed.options.bcastDelta = 1;
    feed.options.pktCounters = 1;
  }

  template <class Decoder>
  std::vector<std::uint8_t> Decode(Decoder& decoder, const std::vector<std::uint8_t>& bytes) {
    MarkedBuffer buffer(bytes);
    decoder.Decode(buffer.data(), buffer.length());
    EXPECT_TRUE(buffer.MarkerIntact());
    return buffer.Content();
  }

  Feed feed;
  NcmDecoder ncm{feed.context, feed.instruments, feed.out, feed.industryIndex};
  NfoDecoder nfo{feed.context, feed.instruments, feed.out, feed.industryIndex};
  NcdDecoder ncd{feed.context, feed.instruments, feed.out};
};

TEST_F(Malformed, HugeRecordCountIsClampedToTheLayoutsCapacity) {
  std::vector<CmTick> ticks;
  for (int i = 0; i < cm::ticker::kCapacity; ++i) ticks.push_back({100 + i, 1, 1000 + i});
  const MessageBuilder m = testing::CmTickerMessage(ticks, 32000);
  // The caller's buffer is longer than the layout: the capacity still rules.
  std::vector<std::uint8_t> wire = m.Wire(600);
  const std::vector<std::uint8_t> after = Decode(ncm, wire);
  const Strings all = feed.out.AllLines();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(std::count(all[0].begin(), all[0].end(), '|'), cm::ticker::kCapacity);
  EXPECT_EQ(Load16(after.data() + records::kNoOfRecords), cm::ticker::kCapacity);
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), 496u);
  EXPECT_EQ(Load16(reinterpret_cast<const std::uint8_t*>(packets[0].data()) + forwarded::kBodyAt),
            cm::ticker::kCapacity) << "the packet announces the records it carries";
}

TEST_F(Malformed, NegativeRecordCountYieldsNoRecordsButIsStillForwarded) {
  const MessageBuilder m = testing::CmTickerMessage({{1, 1, 1}}, 0);
  MessageBuilder negative = m;
  negative.NoOfRecords(-3);
  Decode(ncm, negative.Wire(cm::ticker::kMessageLength));
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_EQ(feed.out.Packets().size(), 1u);
  EXPECT_EQ(ncm.Count(7202), 1u);
}

TEST_F(Malformed, AShortMessageYieldsTheRecordsThatFit) {
  std::vector<CmTick> ticks;
  for (int i = 0; i < 5; ++i) ticks.push_back({200 + i, 1, 2000 + i});
  const MessageBuilder m = testing::CmTickerMessage(ticks);
  // Three whole records and half of the fourth arrive.
  const int length = records::kRecordsAt + 3 * cm::ticker::kRecordSize + cm::ticker::kRecordSize / 2;
  const std::vector<std::uint8_t> after = Decode(ncm, m.Wire(length));
  EXPECT_EQ(feed.out.AllLines(), Strings{",200|2000,201|2001,202|2002"});
  // The half record stays as it arrived.
  const std::vector<std::uint8_t> wire = m.Wire(length);
  const int half = records::kRecordsAt + 3 * cm::ticker::kRecordSize;
  EXPECT_TRUE(std::equal(after.begin() + half, after.end(), wire.begin() + half));
  // The packet keeps its length; bytes that never arrived are zero.
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 1u);
  ASSERT_EQ(packets[0].size(), 496u);
  const int arrived = forwarded::kBodyAt + length - header::kBodyAt;
  EXPECT_EQ(packets[0].find_first_not_of('\0', arrived), std::string::npos);
}

TEST_F(Malformed, DerivativeRecordsPastTheLengthAreNotReported) {
  const MessageBuilder m = testing::FoMarketWatchMessage({{1, 10}, {2, 20}, {3, 30}});
  Decode(nfo, m.Wire(records::kRecordsAt + 2 * fo::mw::kRecordSize + 10));
  EXPECT_EQ(feed.out.AllLines(), Strings{",1|10,2|20"});
}

TEST_F(Malformed, ShortFixedLayoutsReportNothingTheyDidNotReceive) {
  feed.Subscribe(3, 5);
  Decode(ncd, testing::Cd7213Message(5, 6).Wire(cd::v7213::kValue + 2));
  Decode(nfo, testing::ContractMessage(7, "SHORT", 1, 2, "CE").Wire(fo::contract::kEnd - 1));
  Decode(ncm, testing::CmSecurityMessage(8, "SHORT", "EQ").Wire(cm::security::kSeries + 1));
  Decode(nfo, testing::ValueMessage<fo::v7732::kConverted>(7732, fo::v7732::kToken, fo::v7732::kValue, 9, 9)
                  .Wire(fo::v7732::kValue + 3));
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.SubscribedLines().empty());
  EXPECT_EQ(feed.instruments.Find("2,7"), nullptr);
  EXPECT_EQ(feed.instruments.Find("1,8"), nullptr);
  EXPECT_EQ(ncd.Count(7213), 1u);
}

TEST_F(Malformed, ZeroAndNegativeLengthsCopyNothing) {
  for (int length : {0, -1, -1000}) {
    std::uint8_t guard[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    ncm.Decode(guard, length);
    nfo.Decode(guard, length);
    ncd.Decode(guard, length);
    EXPECT_EQ(guard[0], 0xA5);
  }
  EXPECT_TRUE(feed.out.events.empty());
  EXPECT_EQ(ncm.MessageTotal(), 3u);
}

TEST_F(Malformed, A7130PairCountBeyondTheMessageIsBounded) {
  MessageBuilder m(7130, 60);
  m.ErrorCode(32767);
  Decode(nfo, m.Wire(60));
  Decode(ncd, m.Wire(60));
  EXPECT_EQ(nfo.Count(7130), 1u);
}

TEST_F(Malformed, RandomBytesNeverReachPastTheBuffer) {
  std::mt19937 rng(20261206);
  const int codes[] = {7201, 7202, 7203, 7207, 7208, 7211, 7213, 7305, 7130, 7732, 7733, 1, 9999};
  for (int round = 0; round < 3000; ++round) {
    const int length = static_cast<int>(rng() % 1100);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    if (length >= header::kBodyAt && rng() % 4 != 0) {
      Store16(bytes.data() + header::kTransactionCode, static_cast<std::int16_t>(codes[rng() % std::size(codes)]));
    }
    feed.out.connected = rng() % 2 == 0;
    Decode(ncm, bytes);
    Decode(nfo, bytes);
    Decode(ncd, bytes);
  }
  for (const std::string& p : feed.out.Packets()) {
    ASSERT_GE(p.size(), static_cast<std::size_t>(forwarded::kHeaderSize));
    EXPECT_EQ(Load16(reinterpret_cast<const std::uint8_t*>(p.data()) + forwarded::kPacketLength),
              static_cast<int>(p.size()));
  }
  for (const std::string& line : feed.out.AllLines()) EXPECT_LE(line.size(), 512u);
}

}  // namespace
}  // namespace fh::nse
