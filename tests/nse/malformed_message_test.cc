// Messages that lie: record counts beyond the layout, lengths shorter than
// the layout, and the fuzz corpora. Nothing may be read or written past the
// bytes handed in (exact heap blocks with a marker byte behind), and nothing
// may crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "feedstate/exg_seg.h"
#include "intake/framing.h"
#include "nse_feed.h"
#include "support/fuzz_corpus.h"

namespace fh::testing {
namespace {

class Malformed : public ::testing::Test {
 protected:
  Malformed() { feed.options.pktCounters = 1; }
  NseFeed feed;
};

TEST_F(Malformed, HugeRecordCountIsClampedToTheLayoutsCapacity) {
  std::vector<Tick> ticks;
  for (int i = 0; i < cm::ticker::kCapacity; ++i) ticks.push_back({100 + i, 1, 1000 + i});
  // The caller's buffer is longer than the layout: the capacity still rules.
  const std::vector<std::uint8_t> after = feed.Decode(1, CmTickerMessage(ticks, 32000), 600);
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
  MessageBuilder negative = CmTickerMessage({{1, 1, 1}});
  negative.NoOfRecords(-3);
  feed.Decode(1, negative, cm::ticker::kMessageLength);
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_EQ(feed.out.Packets().size(), 1u);
  EXPECT_EQ(feed.ncm.Count(7202), 1u);
}

TEST_F(Malformed, AShortMessageYieldsTheRecordsThatFit) {
  std::vector<Tick> ticks;
  for (int i = 0; i < 5; ++i) ticks.push_back({200 + i, 1, 2000 + i});
  const MessageBuilder m = CmTickerMessage(ticks);
  // Three whole records and half of the fourth arrive.
  const int length = records::kRecordsAt + 3 * cm::ticker::kRecordSize + cm::ticker::kRecordSize / 2;
  const std::vector<std::uint8_t> after = feed.Decode(1, m, length);
  EXPECT_EQ(feed.out.AllLines(), Strings{",200|2000,201|2001,202|2002"});
  // The half record stays as it arrived.
  const std::vector<std::uint8_t> wire = m.Wire(length);
  const int half = records::kRecordsAt + 3 * cm::ticker::kRecordSize;
  EXPECT_TRUE(std::equal(after.begin() + half, after.end(), wire.begin() + half));
  // The packet keeps its length; bytes that never arrived are zero.
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 1u);
  ASSERT_EQ(packets[0].size(), 496u);
  EXPECT_EQ(packets[0].find_first_not_of('\0', forwarded::kBodyAt + length - header::kBodyAt), std::string::npos);
}

TEST_F(Malformed, DerivativeRecordsPastTheLengthAreNotReported) {
  const MessageBuilder m = FoMarketWatchMessage({{1, 10}, {2, 20}, {3, 30}});
  feed.Decode(2, m, records::kRecordsAt + 2 * fo::mw::kRecordSize + 10);
  EXPECT_EQ(feed.out.AllLines(), Strings{",1|10,2|20"});
}

TEST_F(Malformed, ShortFixedLayoutsReportNothingTheyDidNotReceive) {
  feed.Subscribe(3, 5);
  feed.Decode(3, Cd7213Message(5, 6), cd::v7213::kValue + 2);
  feed.Decode(2, ContractMessage(7, "SHORT", 1, 2, "CE"), fo::contract::kEnd - 1);
  feed.Decode(1, CmSecurityMessage(8, "SHORT", "EQ"), cm::security::kSeries + 1);
  feed.Decode(2, ValueMessage<fo::v7732::kConverted>(7732, fo::v7732::kToken, fo::v7732::kValue, 9, 9),
              fo::v7732::kValue + 3);
  EXPECT_TRUE(feed.out.AllLines().empty());
  EXPECT_TRUE(feed.out.SubscribedLines().empty());
  EXPECT_EQ(feed.instruments.Find("2,7"), nullptr);
  EXPECT_EQ(feed.instruments.Find("1,8"), nullptr);
  EXPECT_EQ(feed.ncd.Count(7213), 1u);
}

TEST_F(Malformed, ZeroAndNegativeLengthsCopyNothing) {
  for (int length : {0, -1, -1000}) {
    std::uint8_t guard[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    feed.ncm.Decode(guard, length);
    feed.nfo.Decode(guard, length);
    feed.ncd.Decode(guard, length);
    EXPECT_EQ(guard[0], 0xA5);
  }
  EXPECT_TRUE(feed.out.Events().empty());
  EXPECT_EQ(feed.ncm.MessageTotal(), 3u);
}

TEST_F(Malformed, A7130PairCountBeyondTheMessageIsBounded) {
  MessageBuilder m(7130, 60);
  m.ErrorCode(32767);
  feed.Decode(2, m, 60);
  feed.Decode(3, m, 60);
  EXPECT_EQ(feed.nfo.Count(7130), 1u);
}

// Every corpus datagram through the framing and the three decoders, routed by
// its net id as the receiver routes it, and every one of its tails handed to
// each decoder as a message.
TEST_F(Malformed, TheFuzzCorpusNeverReachesPastTheBuffer) {
  Framing framing(feed.context);
  framing.SetDecoder(kSegNcm, nse::MakeDecoderEntry(feed.ncm));
  framing.SetDecoder(kSegNfo, nse::MakeDecoderEntry(feed.nfo));
  framing.SetDecoder(kSegNcd, nse::MakeDecoderEntry(feed.ncd));
  const auto corpus = ReadCorpus("fuzz_nse_framing");
  ASSERT_GT(corpus.size(), 100u);
  for (const auto& [name, datagram] : corpus) {
    MarkedBuffer buffer(datagram);
    switch (datagram.empty() ? 0 : datagram[datagram::kNetId]) {
      case kNetIdCm: framing.FrameCmDatagram(buffer.data(), buffer.length()); break;
      case kNetIdFo: framing.FrameFoDatagram(buffer.data(), buffer.length()); break;
      case kNetIdCd: framing.FrameCdDatagram(buffer.data(), buffer.length()); break;
      default: framing.RecordUnknownDatagram(buffer.data(), buffer.length()); break;
    }
    EXPECT_TRUE(buffer.MarkerIntact());
    for (std::size_t at = 0; at < datagram.size(); ++at) {
      const std::vector<std::uint8_t> tail(datagram.begin() + static_cast<std::ptrdiff_t>(at), datagram.end());
      for (int segment : {1, 2, 3}) feed.Decode(segment, tail);
    }
  }
  for (const std::string& p : feed.out.Packets()) {
    ASSERT_GE(p.size(), static_cast<std::size_t>(forwarded::kHeaderSize));
    EXPECT_EQ(Load16(reinterpret_cast<const std::uint8_t*>(p.data()) + forwarded::kPacketLength),
              static_cast<int>(p.size()));
  }
  for (const std::string& line : feed.out.AllLines()) EXPECT_LE(line.size(), 512u);
}

}  // namespace
}  // namespace fh::testing
