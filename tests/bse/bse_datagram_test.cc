// The block walk of one BSE datagram: recording, decoding, forwarding.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "bse/bse_receiver.h"
#include "bse_test_support.h"
#include "distribution/forwarded_packet.h"

namespace fh {
namespace {

using testing::BlockOfPayload;
using testing::BseBlock;
using testing::Bytes;
using testing::Datagram;
using testing::TestFeed;

class BseDatagramTest : public ::testing::Test {
 protected:
  // Hands the datagram over from an exactly sized heap copy, so a read past
  // its end is caught by the address sanitizer.
  int Handle(const Bytes& datagram) {
    auto copy = std::make_unique<std::uint8_t[]>(datagram.size() + 1);
    if (!datagram.empty()) std::memcpy(copy.get(), datagram.data(), datagram.size());
    return handler.OnDatagram(copy.get(), static_cast<int>(datagram.size()));
  }

  TestFeed feed;
  BseDatagramHandler handler{feed.context, feed.decoder, feed.output};
};

std::int16_t Field16(const Bytes& packet, int at) { return bse::LoadLe16(packet.data() + at); }

TEST_F(BseDatagramTest, OneBlockGivesOnePacketWithTheBseHeader) {
  const Bytes block = BlockOfPayload(1902, 100);
  ASSERT_EQ(Handle(block), 1);
  const auto packets = feed.output.Packets();
  ASSERT_EQ(packets.size(), 1u);
  const Bytes& p = packets[0];
  ASSERT_EQ(p.size(), 146u);
  EXPECT_EQ(feed.output.Segments()[0], 4);
  EXPECT_EQ(Field16(p, forwarded::kExchangeCode), 11);
  EXPECT_EQ(Field16(p, forwarded::kSegmentCode), 20);
  EXPECT_EQ(Field16(p, forwarded::kPriceDivisor), 100);
  EXPECT_EQ(Field16(p, forwarded::kTransactionCode), 1902);
  EXPECT_EQ(Field16(p, forwarded::kPacketLength), 146);
  for (int i = forwarded::kMessageHead; i < forwarded::kPacketLength; ++i) {
    if (i == forwarded::kTransactionCode || i == forwarded::kTransactionCode + 1) continue;
    EXPECT_EQ(p[static_cast<std::size_t>(i)], 0) << "header byte " << i;
  }
  EXPECT_TRUE(std::equal(p.begin() + forwarded::kBodyAt, p.end(), block.begin() + bse::block::kPayloadAt));
  EXPECT_TRUE(feed.LinesContaining("Udp Received").empty());
  EXPECT_EQ(feed.decoder.Count(1902), 1u);
}

TEST_F(BseDatagramTest, TransactionCodeKeepsTheLowSixteenBitsOfTheType) {
  Handle(BseBlock(0x00051F4D).Head(4).Build());
  ASSERT_EQ(feed.output.Packets().size(), 1u);
  EXPECT_EQ(static_cast<std::uint16_t>(Field16(feed.output.Packets()[0], forwarded::kTransactionCode)), 0x1F4D);
}

TEST_F(BseDatagramTest, ThreeBlocksGiveThreePacketsInOrderAndTwoLogLines) {
  const Bytes d = Datagram({BlockOfPayload(1901, 40), BlockOfPayload(1907, 12), BlockOfPayload(1909, 132)});
  ASSERT_EQ(Handle(d), 3);
  const auto packets = feed.output.Packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(Field16(packets[0], forwarded::kTransactionCode), 1901);
  EXPECT_EQ(Field16(packets[1], forwarded::kTransactionCode), 1907);
  EXPECT_EQ(Field16(packets[2], forwarded::kTransactionCode), 1909);
  EXPECT_EQ(packets[2].size(), 132u + 46u);
  const auto lines = feed.LinesContaining("Udp Received");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Udp Received PktNo: 2| Processed:68| Total:208");
  EXPECT_EQ(lines[0], "Udp Received PktNo: 3| Processed:208| Total:208");
}

TEST_F(BseDatagramTest, EmptyBlockIsForwardedAsAHeaderOnly) {
  const Bytes d = Datagram({BseBlock(1902).Length(0).CutPayload(0).Build(), BlockOfPayload(1907, 12)});
  ASSERT_EQ(Handle(d), 2);
  const auto packets = feed.output.Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].size(), 46u);
  EXPECT_EQ(Field16(packets[0], forwarded::kTransactionCode), 0);
  EXPECT_EQ(Field16(packets[1], forwarded::kTransactionCode), 1907);
}

TEST_F(BseDatagramTest, WithoutABridgeBlocksAreStillDecodedAndCounted) {
  feed.output.connected = false;
  feed.options.bcastDelta = 1;
  Handle(BseBlock(2014).TokenValue(5, 6).Build());
  EXPECT_EQ(feed.decoder.Count(2014), 1u);
  EXPECT_EQ(feed.output.Deltas().size(), 1u);
}

TEST_F(BseDatagramTest, EmptyDatagramIsIgnored) {
  EXPECT_EQ(handler.OnDatagram(nullptr, 0), 0);
  EXPECT_TRUE(feed.output.Packets().empty());
  EXPECT_EQ(feed.log.Size(), 0u);
  EXPECT_TRUE(feed.exit.Codes().empty());
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
    TestFeed fresh;
    BseDatagramHandler h(fresh.context, fresh.decoder, fresh.output);
    const Bytes d = Datagram({good, c.second});
    auto copy = std::make_unique<std::uint8_t[]>(d.size());
    std::memcpy(copy.get(), d.data(), d.size());
    EXPECT_EQ(h.OnDatagram(copy.get(), static_cast<int>(d.size())), 1);
    EXPECT_EQ(fresh.output.Packets().size(), 1u);
    EXPECT_EQ(fresh.decoder.Count(1907), 1u);
    EXPECT_EQ(fresh.decoder.Count(1902), 0u);
    ASSERT_EQ(fresh.log.Size(), 1u);
    EXPECT_EQ(fresh.log.Line(0), c.line);
  }
}

TEST_F(BseDatagramTest, PayloadLongerThanTheWorkAreaIsRefused) {
  // Only a caller with a buffer beyond the feed's 4,096 bytes can hand this in.
  const Bytes d = BlockOfPayload(1902, bse::kWorkAreaSize + 1);
  EXPECT_EQ(Handle(d), 0);
  EXPECT_TRUE(feed.output.Packets().empty());
  EXPECT_EQ(feed.LinesContaining("Bad Block").size(), 1u);
  const Bytes fits = BlockOfPayload(1902, bse::kWorkAreaSize);
  EXPECT_EQ(Handle(fits), 1);
  EXPECT_EQ(feed.output.Packets()[0].size(), static_cast<std::size_t>(bse::kWorkAreaSize + 46));
}

TEST_F(BseDatagramTest, RandomDatagramsNeverReadOutside) {
  feed.options.bcastDelta = 1;
  std::mt19937 random(20261206);
  const std::int32_t types[] = {1903, 2011, 2014, 2020, 1916, 4141, 9999, 2017};
  for (int round = 0; round < 3000; ++round) {
    Bytes d;
    const int blocks = static_cast<int>(random() % 4) + 1;
    for (int b = 0; b < blocks; ++b) {
      BseBlock block(types[random() % std::size(types)]);
      if (random() % 3 == 0) block.DeclaredCount(static_cast<std::int16_t>(random()));
      for (unsigned r = random() % 4; r > 0; --r) block.AddRecord();
      Bytes bytes = block.Build();
      for (unsigned flips = random() % 4; flips > 0 && !bytes.empty(); --flips) {
        bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
      }
      if (random() % 5 == 0) bytes.resize(random() % (bytes.size() + 1));
      d.insert(d.end(), bytes.begin(), bytes.end());
    }
    if (d.size() > static_cast<std::size_t>(bse::kMaxDatagram)) d.resize(bse::kMaxDatagram);
    Handle(d);
  }
  for (const Bytes& p : feed.output.Packets()) {
    EXPECT_EQ(static_cast<std::size_t>(static_cast<std::uint16_t>(Field16(p, forwarded::kPacketLength))), p.size());
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
  feed.output.onPacket = [&] { sizesSeen.push_back(testing::ReadFile(path).size()); };
  Handle(first);
  Handle(second);
  EXPECT_EQ(sizesSeen, (std::vector<std::size_t>{first.size(), first.size(), first.size() + second.size()}));
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(testing::ReadFile(path), std::string(both.begin(), both.end()));
}

TEST_F(BseDatagramTest, NothingIsRecordedWithoutWriteBinOrWithoutAFile) {
  const std::string path = feed.dir.File("BCASTOUT_BIN_BCM.TXT");
  ASSERT_TRUE(feed.files.Open(4, SegmentFiles::kBinFile, path, "ab+"));
  Handle(BlockOfPayload(1902, 56));
  EXPECT_EQ(testing::ReadFile(path), "");
  feed.files.Close(4, SegmentFiles::kBinFile);
  feed.options.writeBin = 1;
  Handle(BlockOfPayload(1902, 56));
  EXPECT_EQ(feed.output.Packets().size(), 2u);
}

}  // namespace
}  // namespace fh
