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
using testing::PlainPacket;
using testing::ReadFile;

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class FramingEachLane : public testing::FramingLaneTest {};
INSTANTIATE_TEST_SUITE_P(Lanes, FramingEachLane, testing::kLanes, testing::LaneName);

// The third packet starts 8 + MessageLength bytes after the uncompressed
// second one's data.
TEST_P(FramingEachLane, DecodesCompressedAndUncompressedPacketsInOrderWithTheHeaderInHostOrder) {
  const PlainPacket sent[] = {{7208, 466, 0x11223344, 0x0102, 3}, {7202, 130, -5, 7, 9}, {7201, 442, 77, 0, 4}};
  const Bytes plain[] = {sent[0].Build(), sent[1].Build(), sent[2].Build()};
  const Bytes datagram = DatagramBuilder(NetId()).Compressed(plain[0]).Uncompressed(plain[1]).Compressed(plain[2]).Build();

  const Bytes after = Frame(datagram);
  // CM frames the caller's bytes in place.
  if (Seg() == kSegNcm) { EXPECT_EQ(Load16(after.data() + 2), 3) << "noOfPackets left in host order"; }

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].transactionCode, sent[i].transactionCode);
    EXPECT_EQ(calls[i].messageLength, sent[i].messageLength);
    EXPECT_EQ(calls[i].logTime, sent[i].logTime);
    EXPECT_EQ(calls[i].errorCode, sent[i].errorCode);
    EXPECT_EQ(calls[i].length, sent[i].messageLength);
    // The body reaches the decoder as sent (it starts 40 bytes into the
    // header, 48 into the plain packet); the header bytes the framing does not
    // convert (the two before the message address, AlphaChar) are untouched.
    const auto& got = calls[i].bytes;
    ASSERT_EQ(got.size(), static_cast<std::size_t>(sent[i].messageLength) + 2);  // message[-2 .. length-1]
    EXPECT_TRUE(std::equal(plain[i].begin() + 48, plain[i].end(), got.begin() + 40));
    EXPECT_EQ(got[0], 0x11);
    EXPECT_EQ(got[2 + 6], 'N');  // AlphaChar, message offset 6
  }
  const auto& c = framing.Counters();
  EXPECT_EQ(c.Datagrams(Seg()), 1u);
  EXPECT_EQ(c.Compressed(Seg()), 2u);
  EXPECT_EQ(c.Uncompressed(Seg()), 1u);
  EXPECT_EQ(feed.log.Size(), 0u);
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
  const Bytes plain512 = PacketCompressingTo(512);
  const Bytes plain513 = PacketCompressingTo(513);
  ASSERT_FALSE(plain512.empty() || plain513.empty());
  const Bytes datagram = DatagramBuilder(NetId()).Compressed(plain513).Build();

  ASSERT_TRUE(feed.files.Open(Seg(), SegmentFiles::kBpackCounterFile, counter, "w+"));
  Frame(DatagramBuilder(NetId()).Compressed(plain512).Build());
  Frame(datagram);
  feed.files.Close(Seg(), SegmentFiles::kBpackCounterFile);
  EXPECT_EQ(decoder.Count(), 2u);

  // From the packet's compLen field at offset 4 (already in host order: 513
  // is 01 02) to the datagram's last byte, each as "%02x " of the byte as a
  // signed 8-bit value widened to 32 bits.
  Bytes from(datagram.begin() + 4, datagram.end());
  from[0] = 0x01;
  from[1] = 0x02;
  std::string expected;
  char item[16];
  for (std::size_t j = 0; j < from.size(); j += static_cast<std::size_t>(GetParam().dumpStep)) {
    std::snprintf(item, sizeof item, "%02x ", static_cast<unsigned>(static_cast<int>(static_cast<std::int8_t>(from[j]))));
    expected += item;
  }
  const std::string dump = ReadFile(counter);
  EXPECT_EQ(dump, expected + "\n");
  EXPECT_NE(dump.find("ffffff"), std::string::npos);  // random bytes include some of 0x80 and above
}

TEST_P(FramingEachLane, FoAndCdDecodersSeeTheOutputBufferClearedBehindEachPacket) {
  if (Seg() == kSegNcm) GTEST_SKIP() << "CM's output buffer is not cleared";
  Frame(DatagramBuilder(NetId()).Compressed(PlainPacket{7208, 900, 1, 0, 200}.Build()).Build());
  PlainPacket shortBody{7208, 900, 2, 0, 1};  // claims 900 bytes, carries 100
  shortBody.bodyBytes = 60;
  Frame(DatagramBuilder(NetId()).Compressed(shortBody.Build()).Build());

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 2u);
  const Bytes& seen = calls[1].bytes;  // message[-2 .. 899]
  ASSERT_EQ(seen.size(), 902u);
  EXPECT_TRUE(std::all_of(seen.begin() + 2 + 38 + 60, seen.end(), [](std::uint8_t b) { return b == 0; }));
}

// Only FO and CD show their counts, and only while pktCounters is 1. Grid row
// 1 is code "0", row 2 code "1"; column 1 "NSE-CASH", column 2 "NSE-FO".
TEST(FramingCounters, FoAndCdShowTheirCountsInTheGridWhenPktCountersIsOne) {
  FeedState feed;
  Framing framing(feed.context);
  const Bytes plain = PlainPacket{7202, 100}.Build();
  const std::uint64_t before = feed.grid.Version();
  feed.options.writeBin = 1;  // no decoders and no recording file: framing goes on
  FrameAs(framing, kSegNfo, DatagramBuilder(2).Compressed(plain).Build());
  feed.options.pktCounters = 1;
  FrameAs(framing, kSegNcm, DatagramBuilder(4).Compressed(plain).Build());
  EXPECT_EQ(feed.grid.Version(), before);

  FrameAs(framing, kSegNfo, DatagramBuilder(2).Compressed(plain).Compressed(plain).Uncompressed(plain).Build());
  EXPECT_EQ(feed.grid.CellText(1, 1), "2");
  EXPECT_EQ(feed.grid.CellText(2, 2), "3");
  EXPECT_EQ(feed.grid.CellText(2, 1), "1");
  FrameAs(framing, kSegNcd, DatagramBuilder(6).Uncompressed(plain).Build());
  EXPECT_EQ(feed.grid.CellText(1, 1), "1");  // the CD datagram count, in the same cell
}

// Every datagram is recorded (in its lane's file, see the malformed table)
// only while writeBin is 1, flushed at once or by the caller at the end of its
// batch.
TEST(FramingRecording, UnknownDatagramsGoToSegmentZerosRecording) {
  FeedState feed;
  Framing framing(feed.context);
  const std::string unknown = feed.dir.File("unknown");
  ASSERT_TRUE(feed.files.Open(kSegUnknown, SegmentFiles::kBinFile, unknown, "ab+"));
  const Bytes odd = {0, 1, 2, 3, 0x80, 0xff};
  EXPECT_EQ(framing.RecordUnknownDatagram(odd.data(), 6), 0);  // writeBin 0
  feed.options.writeBin = 1;
  EXPECT_EQ(framing.RecordUnknownDatagram(nullptr, 5), 0);
  EXPECT_EQ(framing.RecordUnknownDatagram(odd.data(), 6), 0);
  EXPECT_EQ(ReadFile(unknown), Text(odd));
  EXPECT_EQ(framing.RecordUnknownDatagram(odd.data(), 3, Framing::Flush::kLater), 0);
  framing.FlushRecording(kSegUnknown);
  EXPECT_EQ(ReadFile(unknown), Text(odd) + std::string("\0\1\2", 3));
  EXPECT_EQ(feed.log.Size(), 0u);
  EXPECT_EQ(feed.metrics.Of(kSegUnknown).datagrams.Get(), 3u);
  EXPECT_EQ(feed.metrics.Of(kSegUnknown).recordedBytes.Get(), 9u);
}

}  // namespace
}  // namespace fh
