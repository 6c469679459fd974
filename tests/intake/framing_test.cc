#include "intake/framing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "feedstate/exg_seg.h"
#include "intake/intake_fixtures.h"
#include "support/test_dir.h"

namespace fh {
namespace {

using testing::Bytes;
using testing::DatagramBuilder;
using testing::PlainPacket;
using testing::RecordingDecoder;
using testing::TestFeed;

struct Segment {
  const char* name;
  int seg;
  std::uint8_t netId;
  std::uint8_t otherNetId;
  const char* notExpected;  // the wrong-segment line, without the net id byte
  int outputSize;
  int dumpStep;
};

const Segment kCm{"CM", kSegNcm, kNetIdCm, kNetIdFo, "FH : CM : Not Expected FO in CM mcast cnet=",
                  Framing::kCmOutputSize, 1};
const Segment kFo{"FO", kSegNfo, kNetIdFo, kNetIdCm, "FH : FO : Not Expected CM in FO mcast cnet=",
                  Framing::kFoCdOutputSize, 2};
const Segment kCd{"CD", kSegNcd, kNetIdCd, kNetIdCm, "FH : CD : Not Expected CM in CD mcast cnet=",
                  Framing::kFoCdOutputSize, 2};

// Frames a datagram from an exact-size heap copy, so a sanitizer sees any
// access beyond its end. Returns the copy as the framing left it.
Bytes FrameAs(Framing& framing, int seg, const Bytes& datagram) {
  const std::size_t n = datagram.size();
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n == 0 ? 1 : n]);
  std::copy(datagram.begin(), datagram.end(), copy.get());
  const int len = static_cast<int>(n);
  int rc = -1;
  switch (seg) {
    case kSegNcm: rc = framing.FrameCmDatagram(copy.get(), len); break;
    case kSegNfo: rc = framing.FrameFoDatagram(copy.get(), len); break;
    case kSegNcd: rc = framing.FrameCdDatagram(copy.get(), len); break;
  }
  EXPECT_EQ(rc, 0);
  return Bytes(copy.get(), copy.get() + n);
}

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

class FramingEachSegment : public ::testing::TestWithParam<Segment> {
 protected:
  FramingEachSegment() { framing.SetDecoder(GetParam().seg, decoder.Entry()); }
  Bytes Frame(const Bytes& datagram) { return FrameAs(framing, GetParam().seg, datagram); }
  std::uint8_t NetId() const { return GetParam().netId; }

  testing::TempDir dir;
  TestFeed feed;
  Framing framing{feed.ctx};
  RecordingDecoder decoder;
};

INSTANTIATE_TEST_SUITE_P(Segments, FramingEachSegment, ::testing::Values(kCm, kFo, kCd),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(FramingEachSegment, DecodesCompressedAndUncompressedPacketsInOrderWithTheHeaderInHostOrder) {
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
    // The body reaches the decoder as sent; the header bytes the framing does
    // not convert (reserved, AlphaChar, time stamps) are untouched.
    const Bytes& p = *plains[i];
    const auto& got = calls[i].bytes;
    ASSERT_GE(got.size(), p.size() - nse::packet::kHeaderAt);
    EXPECT_TRUE(std::equal(p.begin() + nse::packet::kMessageAt + nse::header::kBodyAt, p.end(),
                           got.begin() + 2 + nse::header::kBodyAt));
    EXPECT_EQ(got[0], 0x11);
    EXPECT_EQ(got[2 + nse::header::kAlphaChar], 'N');
  }
  EXPECT_EQ(calls[0].errorCode, 0x0102);
  const auto& c = framing.Counters();
  EXPECT_EQ(c.Datagrams(GetParam().seg), 1u);
  EXPECT_EQ(c.Compressed(GetParam().seg), 2u);
  EXPECT_EQ(c.Uncompressed(GetParam().seg), 1u);
  EXPECT_TRUE(feed.log.Lines().empty());
}

TEST_P(FramingEachSegment, CompressedPacketAfterAnUncompressedOneStartsEightPlusMessageLengthOn) {
  const Bytes first = PlainPacket{7202, 40 + 16 * 3 + 2, 1, 0, 5}.Build();
  const Bytes second = PlainPacket{7208, 466, 2, 0, 6}.Build();
  Frame(DatagramBuilder(NetId()).Uncompressed(first).Compressed(second).Build());

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].transactionCode, 7202);
  EXPECT_EQ(calls[1].transactionCode, 7208);
  EXPECT_EQ(calls[1].logTime, 2);
}

TEST_P(FramingEachSegment, NoOfPacketsZeroOrNegativeIsRecordedAndCountedButNothingIsDecoded) {
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(GetParam().seg, SegmentFiles::kBinFile, dir.File("bin"), "ab+"));
  const Bytes zero = DatagramBuilder(NetId()).Compressed(PlainPacket{}.Build()).Packets(0).Build();
  const Bytes negative = DatagramBuilder(NetId()).Compressed(PlainPacket{}.Build()).Packets(-3).Build();
  Frame(zero);
  Frame(negative);
  feed.files.Close(GetParam().seg, SegmentFiles::kBinFile);

  EXPECT_EQ(decoder.Count(), 0u);
  EXPECT_EQ(framing.Counters().Datagrams(GetParam().seg), 2u);
  Bytes both = zero;
  both.insert(both.end(), negative.begin(), negative.end());
  EXPECT_EQ(testing::ReadFile(dir.File("bin")), std::string(both.begin(), both.end()));
  EXPECT_TRUE(feed.log.Lines().empty());
}

TEST_P(FramingEachSegment, DatagramOfAnotherNetIdLogsOneLineAndIsOnlyRecordedAndCounted) {
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(GetParam().seg, SegmentFiles::kBinFile, dir.File("bin"), "ab+"));
  const Bytes datagram = DatagramBuilder(GetParam().otherNetId).Compressed(PlainPacket{}.Build()).Build();
  Frame(datagram);
  feed.files.Close(GetParam().seg, SegmentFiles::kBinFile);

  EXPECT_EQ(decoder.Count(), 0u);
  const auto lines = feed.log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(GetParam().notExpected) + static_cast<char>(GetParam().otherNetId));
  EXPECT_EQ(testing::ReadFile(dir.File("bin")), std::string(datagram.begin(), datagram.end()));
  EXPECT_EQ(framing.Counters().Datagrams(GetParam().seg), 1u);
  EXPECT_EQ(framing.Counters().Compressed(GetParam().seg), 0u);
}

TEST_P(FramingEachSegment, TransactionCodeZeroLogsOnceAndTheNextPacketIsStillDecoded) {
  const Bytes bad = PlainPacket{0, 100, 1, 0, 1}.Build();
  const Bytes good = PlainPacket{7202, 100, 2, 0, 2}.Build();
  const Bytes compressedBad = testing::Compress(bad);
  Frame(DatagramBuilder(NetId()).Raw(compressedBad).Uncompressed(good).Build());

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].transactionCode, 7202);
  const auto lines = feed.log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  char expected[128];
  std::snprintf(expected, sizeof expected, "FH : %s : cnet=%c pkts=2 icomlen=%d msglen=100 trx=0", GetParam().name,
                NetId(), static_cast<int>(compressedBad.size()));
  EXPECT_EQ(lines[0], expected);
  EXPECT_EQ(framing.Counters().Compressed(GetParam().seg), 0u);
  EXPECT_EQ(framing.Counters().Uncompressed(GetParam().seg), 1u);
}

// A packet whose compressed form is exactly `target` bytes: its body is random
// (LZO1Z barely shrinks it), its size found by trying.
Bytes PacketCompressingTo(int target) {
  std::mt19937 rng(42);
  for (int body = 380; body < 700; ++body) {
    PlainPacket p{7208, static_cast<std::int16_t>(40 + body), 1, 0, 1};
    Bytes plain = p.Build();
    for (std::size_t i = nse::packet::kMessageAt + nse::header::kBodyAt; i < plain.size(); ++i) {
      plain[i] = static_cast<std::uint8_t>(rng());
    }
    if (static_cast<int>(testing::Compress(plain).size()) == target) return plain;
  }
  return {};
}

TEST_P(FramingEachSegment, CompLenOf513DumpsTheDatagramFromThePacketOnAnd512DumpsNothing) {
  ASSERT_TRUE(feed.files.Open(GetParam().seg, SegmentFiles::kBpackCounterFile, dir.File("counter"), "w+"));
  const Bytes plain512 = PacketCompressingTo(512);
  const Bytes plain513 = PacketCompressingTo(513);
  ASSERT_FALSE(plain512.empty());
  ASSERT_FALSE(plain513.empty());

  Frame(DatagramBuilder(NetId()).Compressed(plain512).Build());
  EXPECT_EQ(decoder.Count(), 1u);
  feed.files.Close(GetParam().seg, SegmentFiles::kBpackCounterFile);
  EXPECT_EQ(testing::ReadFile(dir.File("counter")), "");

  ASSERT_TRUE(feed.files.Open(GetParam().seg, SegmentFiles::kBpackCounterFile, dir.File("counter"), "w+"));
  const Bytes datagram = DatagramBuilder(NetId()).Compressed(plain513).Build();
  Frame(datagram);
  EXPECT_EQ(decoder.Count(), 2u);
  feed.files.Close(GetParam().seg, SegmentFiles::kBpackCounterFile);

  // From the packet's compLen field (already in host order: 513 is 01 02) to
  // the datagram's last byte.
  Bytes from(datagram.begin() + nse::datagram::kPacketsAt, datagram.end());
  from[0] = 0x01;
  from[1] = 0x02;
  const std::string dump = testing::ReadFile(dir.File("counter"));
  EXPECT_EQ(dump, ExpectedDump(from, GetParam().dumpStep));
  EXPECT_NE(dump.find("ffffff"), std::string::npos);  // random bytes include some of 0x80 and above
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 1);
}

TEST_P(FramingEachSegment, MessageLengthBeyondTheFramingsMemoryIsClampedForTheDecoder) {
  // Compressed: a header that claims 30000 bytes of a 100-byte message.
  PlainPacket liar{7208, 30000, 1, 0, 1};
  liar.bodyBytes = 60;
  Frame(DatagramBuilder(NetId()).Compressed(liar.Build()).Build());
  // Uncompressed, last in the datagram: message bytes end with the datagram.
  const Bytes last = PlainPacket{7202, 100, 2, 0, 2}.Build();
  const Bytes datagram = DatagramBuilder(NetId()).Uncompressed(last).Build();
  Frame(datagram);

  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].messageLength, 30000);
  EXPECT_EQ(calls[0].length, GetParam().outputSize - nse::packet::kMessageAt);
  EXPECT_EQ(calls[1].messageLength, 100);
  EXPECT_EQ(calls[1].length, static_cast<int>(datagram.size()) - nse::datagram::kPacketsAt - 2 -
                                 nse::packet::kMessageAt);
}

TEST_P(FramingEachSegment, NegativeMessageLengthOfACompressedPacketGivesTheDecoderNoBytes) {
  PlainPacket odd{7208, -4, 1, 0, 1};
  odd.bodyBytes = 20;
  Frame(DatagramBuilder(NetId()).Compressed(odd.Build()).Build());
  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].messageLength, -4);
  EXPECT_EQ(calls[0].length, 0);
}

TEST(FramingCm, ConvertsTheCallersDatagramInPlace) {
  TestFeed feed;
  Framing framing(feed.ctx);
  const Bytes datagram = DatagramBuilder(kNetIdCm).Uncompressed(PlainPacket{7202, 100}.Build()).Build();
  const Bytes after = FrameAs(framing, kSegNcm, datagram);
  EXPECT_EQ(Load16(after.data() + nse::datagram::kNoOfPackets), 1);
  EXPECT_EQ(Load16(after.data() + nse::datagram::kPacketsAt + 2 + nse::packet::kMessageAt +
                   nse::header::kTransactionCode),
            7202);
}

TEST(FramingFoCd, LeaveTheCallersDatagramUntouched) {
  TestFeed feed;
  Framing framing(feed.ctx);
  const Bytes fo = DatagramBuilder(kNetIdFo).Uncompressed(PlainPacket{7202, 100}.Build()).Build();
  const Bytes cd = DatagramBuilder(kNetIdCd).Uncompressed(PlainPacket{7202, 100}.Build()).Build();
  EXPECT_EQ(FrameAs(framing, kSegNfo, fo), fo);
  EXPECT_EQ(FrameAs(framing, kSegNcd, cd), cd);
}

TEST(FramingFoCd, FrameAtMostTheirCopyBufferAndRecordTheWholeDatagram) {
  testing::TempDir dir;
  TestFeed feed;
  Framing framing(feed.ctx);
  RecordingDecoder decoder;
  framing.SetDecoder(kSegNfo, decoder.Entry());
  feed.options.writeBin = 1;
  ASSERT_TRUE(feed.files.Open(kSegNfo, SegmentFiles::kBinFile, dir.File("bin"), "ab+"));
  DatagramBuilder b(kNetIdFo);
  for (int i = 0; i < 6; ++i) b.Uncompressed(PlainPacket{7202, 200}.Build());  // 6 x 210 bytes
  const Bytes datagram = b.Build();
  ASSERT_GT(datagram.size(), 1024u);
  FrameAs(framing, kSegNfo, datagram);
  feed.files.Close(kSegNfo, SegmentFiles::kBinFile);

  EXPECT_EQ(decoder.Count(), 4u);  // 4 + 4 x 210 < 1024 < 4 + 5 x 210
  EXPECT_EQ(feed.log.Line(0), "FH : FO : packet 5 of 6 runs past the datagram (1024 bytes), rest dropped");
  EXPECT_EQ(testing::ReadFile(dir.File("bin")).size(), datagram.size());
}

TEST(FramingFoCd, DecoderSeesTheOutputBufferClearedBehindEachPacket) {
  for (int seg : {kSegNfo, kSegNcd}) {
    TestFeed feed;
    Framing framing(feed.ctx);
    RecordingDecoder decoder;
    framing.SetDecoder(seg, decoder.Entry());
    const std::uint8_t id = seg == kSegNfo ? kNetIdFo : kNetIdCd;
    PlainPacket full{7208, 900, 1, 0, 200};
    FrameAs(framing, seg, DatagramBuilder(id).Compressed(full.Build()).Build());
    PlainPacket shortBody{7208, 900, 2, 0, 1};  // claims 900 bytes, carries 100
    shortBody.bodyBytes = 60;
    FrameAs(framing, seg, DatagramBuilder(id).Compressed(shortBody.Build()).Build());

    const auto calls = decoder.Calls();
    ASSERT_EQ(calls.size(), 2u);
    const Bytes& seen = calls[1].bytes;  // message[-2 .. 899]
    ASSERT_EQ(seen.size(), 902u);
    const std::size_t carried = 2 + nse::header::kBodyAt + 60;
    EXPECT_TRUE(std::all_of(seen.begin() + static_cast<long>(carried), seen.end(), [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(FramingCounters, FoAndCdShowTheirCountsInTheGridWhenPktCountersIsOne) {
  TestFeed feed;
  Framing framing(feed.ctx);
  const Bytes plain = PlainPacket{7202, 100}.Build();
  feed.options.pktCounters = 1;
  FrameAs(framing, kSegNfo, DatagramBuilder(kNetIdFo).Compressed(plain).Compressed(plain).Uncompressed(plain).Build());
  // Grid row 1 is code "0", row 2 code "1"; column 1 "NSE-CASH", column 2 "NSE-FO".
  EXPECT_EQ(feed.grid.CellText(1, 1), "1");
  EXPECT_EQ(feed.grid.CellText(2, 2), "2");
  EXPECT_EQ(feed.grid.CellText(2, 1), "1");

  FrameAs(framing, kSegNcd, DatagramBuilder(kNetIdCd).Uncompressed(plain).Build());
  EXPECT_EQ(feed.grid.CellText(1, 1), "1");  // the CD datagram count, in the same cell
  EXPECT_EQ(framing.Counters().Datagrams(kSegNcd), 1u);
}

TEST(FramingCounters, CapitalMarketAndPktCountersOffLeaveTheGridAlone) {
  TestFeed feed;
  Framing framing(feed.ctx);
  const Bytes plain = PlainPacket{7202, 100}.Build();
  const std::uint64_t before = feed.grid.Version();
  feed.options.pktCounters = 1;
  FrameAs(framing, kSegNcm, DatagramBuilder(kNetIdCm).Compressed(plain).Build());
  feed.options.pktCounters = 0;
  FrameAs(framing, kSegNfo, DatagramBuilder(kNetIdFo).Compressed(plain).Build());
  EXPECT_EQ(feed.grid.Version(), before);
  EXPECT_EQ(framing.Counters().Datagrams(kSegNcm), 1u);
  EXPECT_EQ(framing.Counters().Compressed(kSegNcm), 1u);
  EXPECT_EQ(framing.Counters().Compressed(kSegNfo), 1u);
  EXPECT_EQ(framing.Counters().Datagrams(kSegBcm), 0u);
}

TEST(FramingRecording, WritesDatagramsAsReceivedOnlyWhileWriteBinIsOne) {
  testing::TempDir dir;
  TestFeed feed;
  Framing framing(feed.ctx);
  ASSERT_TRUE(feed.files.Open(kSegNcm, SegmentFiles::kBinFile, dir.File("cash"), "ab+"));
  const Bytes one = DatagramBuilder(kNetIdCm).Uncompressed(PlainPacket{7202, 100, 1}.Build()).Build();
  const Bytes two = DatagramBuilder(kNetIdCm).Compressed(PlainPacket{7208, 466, 2}.Build()).Build();
  const Bytes three = DatagramBuilder(kNetIdCm).Compressed(PlainPacket{7201, 442, 3}.Build()).Build();

  FrameAs(framing, kSegNcm, one);  // writeBin 0: not recorded
  feed.options.writeBin = 1;
  FrameAs(framing, kSegNcm, two);
  FrameAs(framing, kSegNcm, three);
  // Flushed after every datagram: readable while the file is still open.
  Bytes expected = two;
  expected.insert(expected.end(), three.begin(), three.end());
  EXPECT_EQ(testing::ReadFile(dir.File("cash")), std::string(expected.begin(), expected.end()));
  feed.options.writeBin = 0;
  FrameAs(framing, kSegNcm, one);
  EXPECT_EQ(testing::ReadFile(dir.File("cash")).size(), expected.size());
}

TEST(FramingRecording, ClosedFileRecordsNothingAndFramingGoesOn) {
  TestFeed feed;
  Framing framing(feed.ctx);
  RecordingDecoder decoder;
  framing.SetDecoder(kSegNfo, decoder.Entry());
  feed.options.writeBin = 1;
  FrameAs(framing, kSegNfo, DatagramBuilder(kNetIdFo).Compressed(PlainPacket{}.Build()).Build());
  EXPECT_EQ(decoder.Count(), 1u);
  EXPECT_EQ(framing.RecordUnknownDatagram(nullptr, 5), 0);
}

TEST(FramingRecording, UnknownDatagramsGoToSegmentZerosFile) {
  testing::TempDir dir;
  TestFeed feed;
  Framing framing(feed.ctx);
  ASSERT_TRUE(feed.files.Open(kSegUnknown, SegmentFiles::kBinFile, dir.File("unknown"), "ab+"));
  const Bytes datagram = {0, 1, 2, 3, 0x80, 0xff};
  EXPECT_EQ(framing.RecordUnknownDatagram(datagram.data(), 6), 0);
  feed.options.writeBin = 1;
  EXPECT_EQ(framing.RecordUnknownDatagram(datagram.data(), 6), 0);
  EXPECT_EQ(testing::ReadFile(dir.File("unknown")), std::string(datagram.begin(), datagram.end()));
  EXPECT_TRUE(feed.log.Lines().empty());
}

TEST(FramingDecoders, EmptyEntryFramesAndCountsAndAnEntrySetLaterIsUsed) {
  TestFeed feed;
  Framing framing(feed.ctx);
  const Bytes datagram = DatagramBuilder(kNetIdCd).Compressed(PlainPacket{}.Build()).Build();
  FrameAs(framing, kSegNcd, datagram);
  EXPECT_EQ(framing.Counters().Compressed(kSegNcd), 1u);
  RecordingDecoder decoder;
  framing.SetDecoder(kSegNcd, decoder.Entry());
  framing.SetDecoder(kSegBcm, decoder.Entry());  // no framing of its own: ignored
  FrameAs(framing, kSegNcd, datagram);
  EXPECT_EQ(decoder.Count(), 1u);
}

}  // namespace
}  // namespace fh
