// Datagrams that lie about their packets, lengths and contents: the framing
// stops or skips with one log line and never reaches outside its memory. The
// datagrams are framed from exact-size heap copies so AddressSanitizer sees
// any access past their end.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "feedstate/exg_seg.h"
#include "intake/decompress.h"
#include "intake/framing.h"
#include "intake/intake_fixtures.h"

namespace fh {
namespace {

using testing::Bytes;
using testing::DatagramBuilder;
using testing::PlainPacket;
using testing::RecordingDecoder;
using testing::TestFeed;

int Frame(Framing& framing, int seg, const Bytes& datagram) {
  const std::size_t n = datagram.size();
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n == 0 ? 1 : n]);
  std::copy(datagram.begin(), datagram.end(), copy.get());
  const int len = static_cast<int>(n);
  switch (seg) {
    case kSegNcm: return framing.FrameCmDatagram(copy.get(), len);
    case kSegNfo: return framing.FrameFoDatagram(copy.get(), len);
    case kSegNcd: return framing.FrameCdDatagram(copy.get(), len);
  }
  return -1;
}

std::string Line(const char* format, int a, int b, int c) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

class FramingMalformed : public ::testing::Test {
 protected:
  FramingMalformed() {
    framing.SetDecoder(kSegNcm, decoder.Entry());
    framing.SetDecoder(kSegNfo, decoder.Entry());
    framing.SetDecoder(kSegNcd, decoder.Entry());
  }
  TestFeed feed;
  Framing framing{feed.ctx};
  RecordingDecoder decoder;
};

TEST_F(FramingMalformed, NoOfPacketsClaimingMoreThanTheDatagramHoldsStopsAtItsEnd) {
  const Bytes d = DatagramBuilder(kNetIdCm)
                      .Compressed(PlainPacket{7208, 466}.Build())
                      .Uncompressed(PlainPacket{7202, 100}.Build())
                      .Packets(5)
                      .Build();
  EXPECT_EQ(Frame(framing, kSegNcm, d), 0);
  EXPECT_EQ(decoder.Count(), 2u);
  ASSERT_EQ(feed.log.Size(), 1u);
  EXPECT_EQ(feed.log.Line(0), Line("FH : CM : packet %d of %d runs past the datagram (%d bytes), rest dropped", 3, 5,
                                   static_cast<int>(d.size())));
}

TEST_F(FramingMalformed, CompLenReachingPastTheEndDropsThatPacketAndTheRest) {
  const Bytes d = DatagramBuilder(kNetIdFo)
                      .Compressed(PlainPacket{7208, 466}.Build())
                      .Raw(Bytes(10, 0x55), 400)
                      .Compressed(PlainPacket{7208, 466}.Build())
                      .Build();
  Frame(framing, kSegNfo, d);
  EXPECT_EQ(decoder.Count(), 1u);
  EXPECT_EQ(feed.log.Line(0), Line("FH : FO : packet %d of %d runs past the datagram (%d bytes), rest dropped", 2, 3,
                                   static_cast<int>(d.size())));
}

TEST_F(FramingMalformed, UncompressedMessageLengthPastTheEndDropsTheRest) {
  PlainPacket liar{7202, 300};
  liar.bodyBytes = 60;
  const Bytes d = DatagramBuilder(kNetIdCd).Uncompressed(liar.Build()).Build();
  Frame(framing, kSegNcd, d);
  EXPECT_EQ(decoder.Count(), 0u);
  EXPECT_EQ(feed.log.Line(0), Line("FH : CD : packet %d of %d runs past the datagram (%d bytes), rest dropped", 1, 1,
                                   static_cast<int>(d.size())));
}

TEST_F(FramingMalformed, UncompressedHeaderCutByTheDatagramEndDropsTheRest) {
  Bytes d = DatagramBuilder(kNetIdCm).Uncompressed(PlainPacket{7202, 100}.Build()).Build();
  d.resize(nse::datagram::kPacketsAt + 2 + 30);
  Frame(framing, kSegNcm, d);
  EXPECT_EQ(decoder.Count(), 0u);
  EXPECT_EQ(feed.log.Line(0), Line("FH : CM : packet %d of %d runs past the datagram (%d bytes), rest dropped", 1, 1,
                                   static_cast<int>(d.size())));
}

TEST_F(FramingMalformed, UncompressedMessageLengthBelowTheHeaderLeavesNoPlaceForTheNextPacket) {
  PlainPacket shortOne{7202, 20};
  shortOne.bodyBytes = 0;
  const Bytes d =
      DatagramBuilder(kNetIdCm).Uncompressed(shortOne.Build()).Compressed(PlainPacket{7208, 466}.Build()).Build();
  Frame(framing, kSegNcm, d);
  EXPECT_EQ(decoder.Count(), 0u);
  ASSERT_EQ(feed.log.Size(), 1u);
  EXPECT_EQ(feed.log.Line(0), "FH : CM : packet 1 of 2 has msglen=20, shorter than its header, rest dropped");
}

TEST_F(FramingMalformed, BrokenCompressedBytesSkipOnlyThatPacket) {
  Bytes broken = testing::Compress(PlainPacket{7208, 466}.Build());
  broken.resize(broken.size() - 3);  // the end-of-stream marker is gone
  const Bytes d = DatagramBuilder(kNetIdFo).Raw(broken).Compressed(PlainPacket{7202, 100}.Build()).Build();
  Frame(framing, kSegNfo, d);
  const auto calls = decoder.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].transactionCode, 7202);
  ASSERT_EQ(feed.log.Size(), 1u);
  EXPECT_EQ(feed.log.Line(0),
            Line("FH : FO : packet %d of %d did not decompress into a message (icomlen=%d out=-1), skipped", 1, 2,
                 static_cast<int>(broken.size())));
  EXPECT_EQ(framing.Counters().Compressed(kSegNfo), 1u);
}

TEST_F(FramingMalformed, DecompressionIsBoundedByTheSegmentsOutputBuffer) {
  // 1508 plain bytes: too many for the 1024-byte FO and CD buffers, room
  // enough in the 5120-byte capital-market one.
  const Bytes big = PlainPacket{7208, 1500}.Build();
  ASSERT_LT(testing::Compress(big).size(), 400u);
  Frame(framing, kSegNfo, DatagramBuilder(kNetIdFo).Compressed(big).Build());
  Frame(framing, kSegNcd, DatagramBuilder(kNetIdCd).Compressed(big).Build());
  EXPECT_EQ(decoder.Count(), 0u);
  EXPECT_NE(feed.log.Line(0).find("FH : CD : packet 1 of 1 did not decompress into a message"), std::string::npos);
  EXPECT_NE(feed.log.Line(1).find("FH : FO : packet 1 of 1 did not decompress into a message"), std::string::npos);

  Frame(framing, kSegNcm, DatagramBuilder(kNetIdCm).Compressed(big).Build());
  ASSERT_EQ(decoder.Count(), 1u);
  EXPECT_EQ(decoder.Calls()[0].length, 1500);
}

TEST_F(FramingMalformed, PacketDecompressingIntoLessThanAHeaderIsSkipped) {
  const Bytes tiny(30, 0x41);
  const Bytes d = DatagramBuilder(kNetIdCm).Compressed(tiny).Compressed(PlainPacket{7202, 100}.Build()).Build();
  Frame(framing, kSegNcm, d);
  EXPECT_EQ(decoder.Count(), 1u);
  EXPECT_NE(feed.log.Line(0).find("FH : CM : packet 1 of 2 did not decompress into a message (icomlen="),
            std::string::npos);
  EXPECT_NE(feed.log.Line(0).find(" out=30), skipped"), std::string::npos);
}

TEST_F(FramingMalformed, DatagramsTooShortForTheirHeadAreCountedAndDropped) {
  const Bytes full = DatagramBuilder(kNetIdCm).Compressed(PlainPacket{}.Build()).Build();
  for (int len = 0; len < nse::datagram::kPacketsAt; ++len) {
    Frame(framing, kSegNcm, Bytes(full.begin(), full.begin() + len));
    EXPECT_EQ(feed.log.Line(0), Line("FH : CM : datagram of %d bytes is too short, dropped", len, 0, 0));
  }
  EXPECT_EQ(framing.Counters().Datagrams(kSegNcm), 4u);
  EXPECT_EQ(decoder.Count(), 0u);
}

// A decoder that checks every message lies within memory the framing may hand
// out: the caller's datagram or the framing object's own buffers. It reads
// every byte it was given (AddressSanitizer checks the datagram side).
struct BoundsCheckingDecoder {
  const std::uint8_t* datagram = nullptr;
  int len = 0;
  const Framing* framing = nullptr;
  int calls = 0;
  int violations = 0;
  unsigned sum = 0;

  static void Decode(void* self, std::uint8_t* message, int length) {
    auto* me = static_cast<BoundsCheckingDecoder*>(self);
    ++me->calls;
    const auto* lo = message - 2;
    const auto* hi = message + std::max(length, nse::header::kBodyAt);
    const auto* fBegin = reinterpret_cast<const std::uint8_t*>(me->framing);
    const auto* fEnd = fBegin + sizeof(Framing);
    const bool inDatagram = lo >= me->datagram && hi <= me->datagram + me->len;
    const bool inFraming = lo >= fBegin && hi <= fEnd;
    if (!inDatagram && !inFraming) ++me->violations;
    for (int i = -2; i < length; ++i) me->sum += message[i];
    if (length > 0) message[length - 1] ^= 0x5a;
  }
};

// Frames datagram through seg's framing with the checking decoder; the
// datagram buffer is an exact-size heap block.
void FrameChecked(TestFeed& feed, Framing& framing, int seg, const Bytes& datagram, BoundsCheckingDecoder& check) {
  const std::size_t n = datagram.size();
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n == 0 ? 1 : n]);
  std::copy(datagram.begin(), datagram.end(), copy.get());
  check.datagram = copy.get();
  check.len = static_cast<int>(n);
  check.framing = &framing;
  (void)feed;
  const int len = static_cast<int>(n);
  int rc = -1;
  switch (seg) {
    case kSegNcm: rc = framing.FrameCmDatagram(copy.get(), len); break;
    case kSegNfo: rc = framing.FrameFoDatagram(copy.get(), len); break;
    case kSegNcd: rc = framing.FrameCdDatagram(copy.get(), len); break;
  }
  ASSERT_EQ(rc, 0);
}

std::uint8_t NetIdOf(int seg) { return seg == kSegNcm ? kNetIdCm : seg == kSegNfo ? kNetIdFo : kNetIdCd; }

// A few well-formed datagrams per segment to start mutating from.
std::vector<Bytes> Seeds(int seg) {
  const std::uint8_t id = NetIdOf(seg);
  const Bytes mbp = PlainPacket{7208, 466, 1, 0, 3}.Build();
  const Bytes ticker = PlainPacket{7202, 130, 2, 0, 5}.Build();
  const Bytes watch = PlainPacket{7201, 442, 3, 0, 7}.Build();
  return {
      DatagramBuilder(id).Compressed(mbp).Uncompressed(ticker).Compressed(watch).Build(),
      DatagramBuilder(id).Uncompressed(ticker).Uncompressed(ticker).Compressed(mbp).Build(),
      DatagramBuilder(id).Compressed(mbp).Compressed(watch).Build(),
      DatagramBuilder(id).Uncompressed(watch).Build(),
  };
}

TEST(FramingTruncated, EveryPrefixOfAValidDatagramIsFramedSafely) {
  for (int seg : {kSegNcm, kSegNfo, kSegNcd}) {
    TestFeed feed;
    Framing framing(feed.ctx);
    BoundsCheckingDecoder check;
    framing.SetDecoder(seg, DecoderEntry{&BoundsCheckingDecoder::Decode, &check});
    for (const Bytes& full : Seeds(seg)) {
      for (std::size_t len = 0; len <= full.size(); ++len) {
        FrameChecked(feed, framing, seg, Bytes(full.begin(), full.begin() + static_cast<long>(len)), check);
      }
    }
    EXPECT_EQ(check.violations, 0) << seg;
    EXPECT_GT(check.calls, 0) << seg;
  }
}

TEST(FramingFuzz, MutatedAndRandomDatagramsNeverReachOutsideTheFramingsMemory) {
  constexpr int kSeeds = 3000;
  for (int seg : {kSegNcm, kSegNfo, kSegNcd}) {
    TestFeed feed;
    feed.options.pktCounters = 1;
    Framing framing(feed.ctx);
    BoundsCheckingDecoder check;
    framing.SetDecoder(seg, DecoderEntry{&BoundsCheckingDecoder::Decode, &check});
    const std::vector<Bytes> seeds = Seeds(seg);
    for (int seed = 0; seed < kSeeds; ++seed) {
      std::mt19937 rng(static_cast<unsigned>(seed * 7 + seg));
      Bytes d;
      switch (rng() % 4) {
        case 0: {  // random bytes behind the right net id
          d.resize(rng() % 1100);
          for (auto& b : d) b = static_cast<std::uint8_t>(rng());
          if (!d.empty()) d[0] = NetIdOf(seg);
          break;
        }
        case 1: {  // a valid datagram with a few bytes changed
          d = seeds[rng() % seeds.size()];
          const int flips = 1 + static_cast<int>(rng() % 8);
          for (int i = 0; i < flips; ++i) d[1 + rng() % (d.size() - 1)] = static_cast<std::uint8_t>(rng());
          break;
        }
        case 2: {  // lying counts and lengths
          d = seeds[rng() % seeds.size()];
          StoreBe16(d.data() + nse::datagram::kNoOfPackets, static_cast<std::int16_t>(rng()));
          StoreBe16(d.data() + nse::datagram::kPacketsAt, static_cast<std::int16_t>(rng()));
          const std::size_t at = nse::datagram::kPacketsAt + 2 + nse::packet::kMessageAt + nse::header::kMessageLength;
          if (at + 2 <= d.size()) StoreBe16(d.data() + at, static_cast<std::int16_t>(rng()));
          break;
        }
        default: {  // a valid datagram cut short or padded with junk
          d = seeds[rng() % seeds.size()];
          d.resize(rng() % (d.size() + 64), static_cast<std::uint8_t>(rng()));
          break;
        }
      }
      FrameChecked(feed, framing, seg, d, check);
    }
    EXPECT_EQ(check.violations, 0) << seg;
    EXPECT_EQ(framing.Counters().Datagrams(seg), static_cast<std::uint32_t>(kSeeds));
  }
}

}  // namespace
}  // namespace fh
