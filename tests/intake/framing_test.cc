#include "intake/framing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "feedstate/exg_seg.h"
#include "intake/framing_fixture.h"
#include "support/feed_state.h"

namespace fh {
namespace {

using testing::Bytes;
using testing::DatagramBuilder;
using testing::FeedState;
using testing::FrameAs;
using testing::Lane;
using testing::PlainPacket;
using testing::RecordingDecoder;

// The dump form computed independently: "%02x " of the byte as a signed
// 8-bit value widened to 32 bits.
std::string ExpectedDump(const Bytes& from, int step) {
  std::string s;
  char item[16];
  for (std::size_t j = 0; j < from.size(); j += static_cast<std::size_t>(step)) {
    std::snprintf(item, sizeof item, "%02x ", static_cast<unsigned>(static_cast<int>(static_cast<std::int8_t>(from[j]))));
    s += item;
  }
  return s + "\n";
}

class FramingEachLane : public ::testing::TestWithParam<Lane> {
 protected:
  FramingEachLane() { framing.SetDecoder(Seg(), decoder.Entry()); }
  Bytes Frame(const Bytes& datagram) { return FrameAs(framing, Seg(), datagram); }
  int Seg() const { return GetParam().seg; }
  std::uint8_t NetId() const { return GetParam().netId; }

  FeedState feed;
  Framing framing{feed.context};
  RecordingDecoder decoder;
};

INSTANTIATE_TEST_SUITE_P(Lanes, FramingEachLane, ::testing::Values(testing::kCmLane, testing::kFoLane, testing::kCdLane),
                         testing::LaneName);

// The third packet starts 8 + MessageLength bytes after the uncompressed
// second one's data.
TEST_P(FramingEachLane, DecodesCompressedAndUncompressedPacketsInOrderWithTheHeaderInHostOrder) {
  const Bytes mbp = PlainPacket{7208, 466, 0x11223344, 0x0102, 3}.Build();
  const Bytes ticker = PlainPacket{7202, 130, -5, 7, 9}.Build();
  const Bytes watch = PlainPacket{7201, 442, 77, 0, 4}.Build();
  const Bytes datagram = DatagramBuilder(NetId()).Compressed(mbp).Uncompressed(ticker).Compressed(watch).Build();
  ASSERT_LE(datagram.size(), 512u);

  Frame(datagram);

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 3u);
  const int codes[] = {7208, 7202, 7201};
  const int lengths[] = {466, 130, 442};
  const int logTimes[] = {0x11223344, -5, 77};
  const Bytes* plains[] = {&mbp, &ticker, &watch};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].transactionCode, codes[i]);
    EXPECT_EQ(calls[i].messageLength, lengths[i]);
    EXPECT_EQ(calls[i].logTime, logTimes[i]);
    EXPECT_EQ(calls[i].length, lengths[i]);
    // The body reaches the decoder as sent (it starts 40 bytes into the
    // header, 48 into the plain packet); the header bytes the framing does not
    // convert (the two before the message address, AlphaChar) are untouched.
    const Bytes& p = *plains[i];
    const auto& got = calls[i].bytes;
    ASSERT_EQ(got.size(), static_cast<std::size_t>(lengths[i]) + 2);  // message[-2 .. length-1]
    EXPECT_TRUE(std::equal(p.begin() + 48, p.end(), got.begin() + 40));
    EXPECT_EQ(got[0], 0x11);
    EXPECT_EQ(got[2 + 6], 'N');  // AlphaChar, message offset 6
  }
  EXPECT_EQ(calls[0].errorCode, 0x0102);
  const auto& c = framing.Counters();
  EXPECT_EQ(c.Datagrams(Seg()), 1u);
  EXPECT_EQ(c.Compressed(Seg()), 2u);
  EXPECT_EQ(c.Uncompressed(Seg()), 1u);
  EXPECT_EQ(feed.log.Size(), 0u);
}

TEST_P(FramingEachLane, NoOfPacketsZeroOrNegativeIsRecordedAndCountedButNothingIsDecoded) {
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(Seg(), SegmentFiles::kBinFile, feed.dir.File("bin"), "ab+"));
  const Bytes zero = DatagramBuilder(NetId()).Compressed(PlainPacket{}.Build()).Packets(0).Build();
  const Bytes negative = DatagramBuilder(NetId()).Compressed(PlainPacket{}.Build()).Packets(-3).Build();
  Frame(zero);
  Frame(negative);
  feed.files.Close(Seg(), SegmentFiles::kBinFile);

  EXPECT_EQ(decoder.Count(), 0u);
  EXPECT_EQ(framing.Counters().Datagrams(Seg()), 2u);
  EXPECT_EQ(testing::ReadFile(feed.dir.File("bin")),
            std::string(zero.begin(), zero.end()) + std::string(negative.begin(), negative.end()));
  EXPECT_EQ(feed.log.Size(), 0u);
}

TEST_P(FramingEachLane, DatagramOfAnotherNetIdLogsOneLineAndIsOnlyRecordedAndCounted) {
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(Seg(), SegmentFiles::kBinFile, feed.dir.File("bin"), "ab+"));
  const Bytes datagram = DatagramBuilder(GetParam().otherNetId).Compressed(PlainPacket{}.Build()).Build();
  Frame(datagram);
  feed.files.Close(Seg(), SegmentFiles::kBinFile);

  EXPECT_EQ(decoder.Count(), 0u);
  EXPECT_EQ(feed.log.Lines(),
            std::vector<std::string>{std::string(GetParam().notExpected) + static_cast<char>(GetParam().otherNetId)});
  EXPECT_EQ(testing::ReadFile(feed.dir.File("bin")), std::string(datagram.begin(), datagram.end()));
  EXPECT_EQ(framing.Counters().Datagrams(Seg()), 1u);
  EXPECT_EQ(framing.Counters().Compressed(Seg()), 0u);
}

TEST_P(FramingEachLane, TransactionCodeZeroLogsOnceAndTheNextPacketIsStillDecoded) {
  const Bytes bad = PlainPacket{0, 100, 1, 0, 1}.Build();
  const Bytes good = PlainPacket{7202, 100, 2, 0, 2}.Build();
  const Bytes compressedBad = testing::Compress(bad);
  Frame(DatagramBuilder(NetId()).Raw(compressedBad).Uncompressed(good).Build());

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].transactionCode, 7202);
  char expected[128];
  std::snprintf(expected, sizeof expected, "FH : %s : cnet=%c pkts=2 icomlen=%d msglen=100 trx=0", GetParam().name,
                NetId(), static_cast<int>(compressedBad.size()));
  EXPECT_EQ(feed.log.Lines(), std::vector<std::string>{expected});
  EXPECT_EQ(framing.Counters().Compressed(Seg()), 0u);
  EXPECT_EQ(framing.Counters().Uncompressed(Seg()), 1u);
}

// A packet whose compressed form is exactly `target` bytes: its body is
// pseudo-random (LZO1Z barely shrinks it), its size found by trying.
Bytes PacketCompressingTo(int target) {
  std::mt19937 rng(42);
  for (int body = 380; body < 700; ++body) {
    Bytes plain = PlainPacket{7208, static_cast<std::int16_t>(40 + body), 1, 0, 1}.Build();
    for (std::size_t i = 48; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(rng());
    if (static_cast<int>(testing::Compress(plain).size()) == target) return plain;
  }
  return {};
}

TEST_P(FramingEachLane, CompLenOf513DumpsTheDatagramFromThePacketOnAnd512DumpsNothing) {
  const std::string counter = feed.dir.File("counter");
  ASSERT_TRUE(feed.files.Open(Seg(), SegmentFiles::kBpackCounterFile, counter, "w+"));
  const Bytes plain512 = PacketCompressingTo(512);
  const Bytes plain513 = PacketCompressingTo(513);
  ASSERT_FALSE(plain512.empty());
  ASSERT_FALSE(plain513.empty());

  Frame(DatagramBuilder(NetId()).Compressed(plain512).Build());
  EXPECT_EQ(decoder.Count(), 1u);
  feed.files.Close(Seg(), SegmentFiles::kBpackCounterFile);
  EXPECT_EQ(testing::ReadFile(counter), "");

  ASSERT_TRUE(feed.files.Open(Seg(), SegmentFiles::kBpackCounterFile, counter, "w+"));
  const Bytes datagram = DatagramBuilder(NetId()).Compressed(plain513).Build();
  Frame(datagram);
  EXPECT_EQ(decoder.Count(), 2u);
  feed.files.Close(Seg(), SegmentFiles::kBpackCounterFile);

  // From the packet's compLen field at offset 4 (already in host order: 513
  // is 01 02) to the datagram's last byte.
  Bytes from(datagram.begin() + 4, datagram.end());
  from[0] = 0x01;
  from[1] = 0x02;
  const std::string dump = testing::ReadFile(counter);
  EXPECT_EQ(dump, ExpectedDump(from, GetParam().dumpStep));
  EXPECT_NE(dump.find("ffffff"), std::string::npos);  // random bytes include some of 0x80 and above
}

TEST_P(FramingEachLane, MessageLengthBeyondTheFramingsMemoryIsClampedForTheDecoder) {
  // Compressed: a header that claims 30000 bytes of a 100-byte message.
  PlainPacket liar{7208, 30000, 1, 0, 1};
  liar.bodyBytes = 60;
  Frame(DatagramBuilder(NetId()).Compressed(liar.Build()).Build());
  // Uncompressed, last in the datagram: the message ends with the datagram,
  // 4 + 2 + 10 bytes after its start.
  const Bytes datagram = DatagramBuilder(NetId()).Uncompressed(PlainPacket{7202, 100, 2, 0, 2}.Build()).Build();
  Frame(datagram);
  // Negative: no bytes at all.
  PlainPacket odd{7208, -4, 1, 0, 1};
  odd.bodyBytes = 20;
  Frame(DatagramBuilder(NetId()).Compressed(odd.Build()).Build());

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].messageLength, 30000);
  EXPECT_EQ(calls[0].length, GetParam().outputSize - 10);
  EXPECT_EQ(calls[1].messageLength, 100);
  EXPECT_EQ(calls[1].length, static_cast<int>(datagram.size()) - 16);
  EXPECT_EQ(calls[2].messageLength, -4);
  EXPECT_EQ(calls[2].length, 0);
}

TEST_P(FramingEachLane, CmConvertsTheCallersDatagramInPlaceFoAndCdLeaveItUntouched) {
  const Bytes datagram = DatagramBuilder(NetId()).Uncompressed(PlainPacket{7202, 100}.Build()).Build();
  const Bytes after = Frame(datagram);
  if (Seg() != kSegNcm) {
    EXPECT_EQ(after, datagram);
    return;
  }
  // noOfPackets at 2; TransactionCode at 4 + 2 + 10 + 8.
  EXPECT_EQ(Load16(after.data() + 2), 1);
  EXPECT_EQ(Load16(after.data() + 24), 7202);
}

TEST(FramingFoCd, FrameAtMostTheirCopyBufferAndRecordTheWholeDatagram) {
  FeedState feed;
  Framing framing(feed.context);
  RecordingDecoder decoder;
  framing.SetDecoder(kSegNfo, decoder.Entry());
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(kSegNfo, SegmentFiles::kBinFile, feed.dir.File("bin"), "ab+"));
  DatagramBuilder b(2);
  for (int i = 0; i < 6; ++i) b.Uncompressed(PlainPacket{7202, 200}.Build());  // 6 x 210 bytes
  const Bytes datagram = b.Build();
  FrameAs(framing, kSegNfo, datagram);
  feed.files.Close(kSegNfo, SegmentFiles::kBinFile);

  EXPECT_EQ(decoder.Count(), 4u);  // 4 + 4 x 210 < 1024 < 4 + 5 x 210
  EXPECT_EQ(feed.log.Line(0), "FH : FO : packet 5 of 6 runs past the datagram (1024 bytes), rest dropped");
  EXPECT_EQ(testing::ReadFile(feed.dir.File("bin")).size(), 1264u);
}

TEST(FramingFoCd, DecoderSeesTheOutputBufferClearedBehindEachPacket) {
  for (const Lane& lane : {testing::kFoLane, testing::kCdLane}) {
    SCOPED_TRACE(lane.name);
    FeedState feed;
    Framing framing(feed.context);
    RecordingDecoder decoder;
    framing.SetDecoder(lane.seg, decoder.Entry());
    FrameAs(framing, lane.seg, DatagramBuilder(lane.netId).Compressed(PlainPacket{7208, 900, 1, 0, 200}.Build()).Build());
    PlainPacket shortBody{7208, 900, 2, 0, 1};  // claims 900 bytes, carries 100
    shortBody.bodyBytes = 60;
    FrameAs(framing, lane.seg, DatagramBuilder(lane.netId).Compressed(shortBody.Build()).Build());

    const auto calls = decoder.Calls();
    ASSERT_EQ(calls.size(), 2u);
    const Bytes& seen = calls[1].bytes;  // message[-2 .. 899]
    ASSERT_EQ(seen.size(), 902u);
    const long carried = 2 + 38 + 60;
    EXPECT_TRUE(std::all_of(seen.begin() + carried, seen.end(), [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(FramingCounters, FoAndCdShowTheirCountsInTheGridWhenPktCountersIsOne) {
  FeedState feed;
  Framing framing(feed.context);
  const Bytes plain = PlainPacket{7202, 100}.Build();
  feed.options.pktCounters = 1;
  FrameAs(framing, kSegNfo, DatagramBuilder(2).Compressed(plain).Compressed(plain).Uncompressed(plain).Build());
  // Grid row 1 is code "0", row 2 code "1"; column 1 "NSE-CASH", column 2 "NSE-FO".
  EXPECT_EQ(feed.grid.CellText(1, 1), "1");
  EXPECT_EQ(feed.grid.CellText(2, 2), "2");
  EXPECT_EQ(feed.grid.CellText(2, 1), "1");

  FrameAs(framing, kSegNcd, DatagramBuilder(6).Uncompressed(plain).Build());
  EXPECT_EQ(feed.grid.CellText(1, 1), "1");  // the CD datagram count, in the same cell
  EXPECT_EQ(framing.Counters().Datagrams(kSegNcd), 1u);
}

TEST(FramingCounters, CapitalMarketAndPktCountersOffLeaveTheGridAlone) {
  FeedState feed;
  Framing framing(feed.context);
  const Bytes plain = PlainPacket{7202, 100}.Build();
  const std::uint64_t before = feed.grid.Version();
  feed.options.pktCounters = 1;
  FrameAs(framing, kSegNcm, DatagramBuilder(4).Compressed(plain).Build());
  feed.options.pktCounters = 0;
  FrameAs(framing, kSegNfo, DatagramBuilder(2).Compressed(plain).Build());
  EXPECT_EQ(feed.grid.Version(), before);
  EXPECT_EQ(framing.Counters().Datagrams(kSegNcm), 1u);
  EXPECT_EQ(framing.Counters().Compressed(kSegNcm), 1u);
  EXPECT_EQ(framing.Counters().Compressed(kSegNfo), 1u);
  EXPECT_EQ(framing.Counters().Datagrams(kSegBcm), 0u);  // no lane of its own
}

TEST(FramingRecording, WritesDatagramsAsReceivedOnlyWhileWriteBinIsOne) {
  FeedState feed;
  Framing framing(feed.context);
  const std::string cash = feed.dir.File("cash");
  ASSERT_TRUE(feed.files.Open(kSegNcm, SegmentFiles::kBinFile, cash, "ab+"));
  const Bytes one = DatagramBuilder(4).Uncompressed(PlainPacket{7202, 100, 1}.Build()).Build();
  const Bytes two = DatagramBuilder(4).Compressed(PlainPacket{7208, 466, 2}.Build()).Build();
  const Bytes three = DatagramBuilder(4).Compressed(PlainPacket{7201, 442, 3}.Build()).Build();

  FrameAs(framing, kSegNcm, one);  // writeBin 0: not recorded
  feed.options.writeBin = 1;
  FrameAs(framing, kSegNcm, two);
  FrameAs(framing, kSegNcm, three);
  // Flushed after every datagram: readable while the file is still open.
  const std::string expected = std::string(two.begin(), two.end()) + std::string(three.begin(), three.end());
  EXPECT_EQ(testing::ReadFile(cash), expected);
  feed.options.writeBin = 0;
  FrameAs(framing, kSegNcm, one);
  EXPECT_EQ(testing::ReadFile(cash), expected);
}

TEST(FramingRecording, UnknownDatagramsGoToSegmentZerosFile) {
  FeedState feed;
  Framing framing(feed.context);
  const std::string unknown = feed.dir.File("unknown");
  ASSERT_TRUE(feed.files.Open(kSegUnknown, SegmentFiles::kBinFile, unknown, "ab+"));
  const Bytes datagram = {0, 1, 2, 3, 0x80, 0xff};
  EXPECT_EQ(framing.RecordUnknownDatagram(datagram.data(), 6), 0);  // writeBin 0
  feed.options.writeBin = 1;
  EXPECT_EQ(framing.RecordUnknownDatagram(datagram.data(), 6), 0);
  EXPECT_EQ(framing.RecordUnknownDatagram(nullptr, 5), 0);
  EXPECT_EQ(testing::ReadFile(unknown), std::string(datagram.begin(), datagram.end()));
  EXPECT_EQ(feed.log.Size(), 0u);
}

TEST(FramingDecoders, EmptyEntryFramesAndCountsAndAnEntrySetLaterIsUsed) {
  FeedState feed;
  Framing framing(feed.context);
  feed.options.writeBin = 1;  // and no recording file open: framing goes on
  const Bytes datagram = DatagramBuilder(6).Compressed(PlainPacket{}.Build()).Build();
  FrameAs(framing, kSegNcd, datagram);
  EXPECT_EQ(framing.Counters().Compressed(kSegNcd), 1u);
  RecordingDecoder decoder;
  framing.SetDecoder(kSegNcd, decoder.Entry());
  framing.SetDecoder(kSegBcm, decoder.Entry());  // no lane of its own: ignored
  FrameAs(framing, kSegNcd, datagram);
  EXPECT_EQ(decoder.Count(), 1u);
}

}  // namespace
}  // namespace fh
