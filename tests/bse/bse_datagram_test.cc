// The block walk of one BSE datagram: recording, decoding, forwarding.
#include <gtest/gtest.h>

#include "bse/bse_receiver.h"
#include "bse_feed.h"
#include "distribution/forwarded_packet.h"
#include "support/fuzz_corpus.h"
#include "support/test_dir.h"

namespace fh::testing {
namespace {

class BseDatagramTest : public ::testing::Test {
 protected:
  // Hands the datagram over from an exactly sized heap copy with a marker
  // byte behind it.
  int Handle(const Bytes& datagram) {
    Bytes marked = datagram;
    marked.push_back(kMarker);
    auto copy = ExactCopy(marked);
    const int n = handler.OnDatagram(copy.get(), static_cast<int>(datagram.size()));
    EXPECT_EQ(copy[datagram.size()], kMarker);
    return n;
  }

  static constexpr std::uint8_t kMarker = 0xA5;
  BseFeed feed;
  BseDatagramHandler handler{feed.context, feed.decoder, feed.out};
};

std::int16_t Field16(const std::string& packet, int at) {
  return bse::LoadLe16(reinterpret_cast<const std::uint8_t*>(packet.data()) + at);
}

TEST_F(BseDatagramTest, TransactionCodeKeepsTheLowSixteenBitsOfTheType) {
  Handle(BseBlock(0x00051F4D).Head(4).Build());
  ASSERT_EQ(feed.out.Packets().size(), 1u);
  EXPECT_EQ(static_cast<std::uint16_t>(Field16(feed.out.Packets()[0], forwarded::kTransactionCode)), 0x1F4D);
}

TEST_F(BseDatagramTest, ThreeBlocksGiveThreePacketsInOrderAndTwoLogLines) {
  const Bytes d = Datagram({BlockOfPayload(1901, 40), BlockOfPayload(1907, 12), BlockOfPayload(1909, 132)});
  ASSERT_EQ(Handle(d), 3);
  const auto packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(Field16(packets[0], forwarded::kTransactionCode), 1901);
  EXPECT_EQ(Field16(packets[1], forwarded::kTransactionCode), 1907);
  EXPECT_EQ(Field16(packets[2], forwarded::kTransactionCode), 1909);
  EXPECT_EQ(packets[2].size(), 132u + 46u);
  EXPECT_EQ(feed.LinesContaining("Udp Received"), (Strings{"Udp Received PktNo: 2| Processed:68| Total:208",
                                                           "Udp Received PktNo: 3| Processed:208| Total:208"}));
}

TEST_F(BseDatagramTest, EmptyBlockIsForwardedAsAHeaderOnly) {
  const Bytes d = Datagram({BseBlock(1902).Length(0).CutPayload(0).Build(), BlockOfPayload(1907, 12)});
  ASSERT_EQ(Handle(d), 2);
  const auto packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].size(), 46u);
  EXPECT_EQ(Field16(packets[0], forwarded::kTransactionCode), 0);
  EXPECT_EQ(Field16(packets[1], forwarded::kTransactionCode), 1907);
}

TEST_F(BseDatagramTest, WithoutABridgeBlocksAreStillDecodedAndCounted) {
  feed.out.connected = false;
  feed.options.bcastDelta = 1;
  Handle(BseBlock(2014).TokenValue(5, 6).Build());
  EXPECT_EQ(feed.decoder.Count(2014), 1u);
  EXPECT_EQ(feed.out.SubscribedLines().size(), 1u);
}

// --- malformed datagrams --------------------------------------------------

struct Malformed {
  const char* name;
  Bytes second;  // follows one good block
  const char* line;
};

TEST_F(BseDatagramTest, BadBlockEndsTheWalkWithOneLineAndKeepsTheBlocksBefore) {
  const Bytes good = BlockOfPayload(1907, 12);  // 20 bytes
  const Malformed cases[] = {
      {"payload past the datagram", BseBlock(1902).Length(57).CutPayload(56).Build(),
       "Udp Received Bad Block PktNo: 2| Offset:20| Length:57| Total:84"},
      {"negative length", BseBlock(1902).Length(-1).Build(),
       "Udp Received Bad Block PktNo: 2| Offset:20| Length:-1| Total:84"},
      {"length that would walk back", BseBlock(1902).Length(-8).Build(),
       "Udp Received Bad Block PktNo: 2| Offset:20| Length:-8| Total:84"},
      {"truncated header", Bytes{1, 2, 3, 4, 5},
       "Udp Received Short Block PktNo: 2| Offset:20| Total:25"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    BseFeed fresh;
    BseDatagramHandler h(fresh.context, fresh.decoder, fresh.out);
    const Bytes d = Datagram({good, c.second});
    EXPECT_EQ(h.OnDatagram(ExactCopy(d).get(), static_cast<int>(d.size())), 1);
    EXPECT_EQ(fresh.out.Packets().size(), 1u);
    EXPECT_EQ(fresh.decoder.Count(1907), 1u);
    EXPECT_EQ(fresh.decoder.Count(1902), 0u);
    EXPECT_EQ(fresh.log.Lines(), Strings{c.line});
    EXPECT_EQ(fresh.metrics.Of(kSegBcm).malformed[FeedMetrics::kBadBlock].Get(), 1u);
    EXPECT_EQ(fresh.metrics.Messages(kSegBcm, 1907) + fresh.metrics.Messages(kSegBcm, 1902), 1u);
  }
}

TEST_F(BseDatagramTest, PayloadLongerThanTheWorkAreaIsRefused) {
  // Only a caller with a buffer beyond the feed's 4,096 bytes can hand this in.
  const Bytes d = BlockOfPayload(1902, bse::kWorkAreaSize + 1);
  EXPECT_EQ(Handle(d), 0);
  EXPECT_TRUE(feed.out.Packets().empty());
  EXPECT_EQ(feed.LinesContaining("Bad Block").size(), 1u);
  const Bytes fits = BlockOfPayload(1902, bse::kWorkAreaSize);
  EXPECT_EQ(Handle(fits), 1);
  EXPECT_EQ(feed.out.Packets()[0].size(), static_cast<std::size_t>(bse::kWorkAreaSize + 46));
}

// Every datagram of the fuzz corpus, and every tail of it, walked and
// decoded without a read or write outside it.
TEST_F(BseDatagramTest, TheFuzzCorpusNeverReachesPastTheDatagram) {
  feed.options.bcastDelta = 1;
  const auto corpus = ReadCorpus("fuzz_bse_walk");
  ASSERT_GT(corpus.size(), 10u);
  for (const auto& [name, d] : corpus) {
    for (std::size_t at = 0; at < d.size(); ++at) Handle(Bytes(d.begin() + static_cast<std::ptrdiff_t>(at), d.end()));
  }
  for (const std::string& p : feed.out.Packets()) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(p.data());
    EXPECT_EQ(static_cast<std::uint16_t>(bse::LoadLe16(bytes + forwarded::kPacketLength)), p.size());
  }
  EXPECT_TRUE(feed.exit.Codes().empty());
}

// --- raw recording ----------------------------------------------------------

TEST_F(BseDatagramTest, RecordingAppendsTheDatagramBeforeItIsDecoded) {
  const std::string path = feed.dir.File("BCASTOUT_BIN_BCM.TXT");
  ASSERT_TRUE(feed.files.Open(4, SegmentFiles::kBinFile, path, "ab+"));
  feed.options.writeBin = 1;
  const Bytes first = Datagram({BlockOfPayload(1902, 56), BlockOfPayload(1907, 12)});
  const Bytes second = BlockOfPayload(1909, 132);
  std::vector<std::size_t> sizesSeen;
  feed.out.onPacket = [&] { sizesSeen.push_back(ReadFile(path).size()); };
  Handle(first);
  Handle(second);
  EXPECT_EQ(sizesSeen, (std::vector<std::size_t>{first.size(), first.size(), first.size() + second.size()}));
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(ReadFile(path), std::string(both.begin(), both.end()));
}

TEST_F(BseDatagramTest, NothingIsRecordedWithoutWriteBinOrWithoutAFile) {
  const std::string path = feed.dir.File("BCASTOUT_BIN_BCM.TXT");
  ASSERT_TRUE(feed.files.Open(4, SegmentFiles::kBinFile, path, "ab+"));
  Handle(BlockOfPayload(1902, 56));
  EXPECT_EQ(ReadFile(path), "");
  feed.files.Close(4, SegmentFiles::kBinFile);
  feed.options.writeBin = 1;
  Handle(BlockOfPayload(1902, 56));
  EXPECT_EQ(feed.out.Packets().size(), 2u);
}

}  // namespace
}  // namespace fh::testing
