// Datagrams that lie about their packets, lengths and contents: the framing
// stops or skips with one log line and never reaches outside its memory. Every
// datagram is framed from an exact-size heap copy so AddressSanitizer sees any
// access past its end.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "intake/framing.h"
#include "feedstate/exg_seg.h"
#include "intake/framing_fixture.h"
#include "support/feed_state.h"
#include "support/fuzz_corpus.h"

namespace fh {
namespace {

using testing::Bytes;
using testing::DatagramBuilder;
using testing::FeedState;
using testing::FrameAs;
using testing::Lane;
using testing::PlainPacket;
using testing::RecordingDecoder;

class FramingMalformed : public ::testing::TestWithParam<Lane> {
 protected:
  FramingMalformed() { framing.SetDecoder(GetParam().seg, decoder.Entry()); }
  void Frame(const Bytes& datagram) { FrameAs(framing, GetParam().seg, datagram); }
  // format with one %s for the lane name.
  std::string Line(const char* format) const {
    char text[256];
    std::snprintf(text, sizeof text, format, GetParam().name);
    return text;
  }

  FeedState feed;
  Framing framing{feed.context};
  RecordingDecoder decoder;
};

INSTANTIATE_TEST_SUITE_P(Lanes, FramingMalformed, ::testing::Values(testing::kCmLane, testing::kFoLane, testing::kCdLane),
                         testing::LaneName);

Bytes Ticker() { return PlainPacket{7202, 100}.Build(); }  // 108 bytes, 110 with its compLen field

// Compressed bytes padded with zeros to size; the decompressor ignores what
// follows a complete stream, so the padding only moves the packet's end.
Bytes PackedTo(const Bytes& plain, std::size_t size) {
  Bytes packed = testing::Compress(plain);
  EXPECT_LE(packed.size(), size);
  packed.resize(size, 0);
  return packed;
}

struct MalformedCase {
  const char* what;
  std::function<Bytes(std::uint8_t netId)> datagram;
  std::size_t decoded;
  const char* line;  // %s: the lane name
};

const MalformedCase kMalformed[] = {
    {"noOfPackets claims more than the datagram holds",
     [](std::uint8_t id) { return DatagramBuilder(id).Uncompressed(Ticker()).Uncompressed(Ticker()).Packets(5).Build(); },
     2, "FH : %s : packet 3 of 5 runs past the datagram (224 bytes), rest dropped"},
    {"compLen field cut by the end",
     [](std::uint8_t id) {
       Bytes d = DatagramBuilder(id).Uncompressed(Ticker()).Packets(2).Build();
       d.push_back(0);
       return d;
     },
     1, "FH : %s : packet 2 of 2 runs past the datagram (115 bytes), rest dropped"},
    {"compLen far past the end",
     [](std::uint8_t id) {
       return DatagramBuilder(id).Uncompressed(Ticker()).Raw(Bytes(10, 0x55), 400).Uncompressed(Ticker()).Build();
     },
     1, "FH : %s : packet 2 of 3 runs past the datagram (236 bytes), rest dropped"},
    {"uncompressed header cut by the end",
     [](std::uint8_t id) {
       Bytes d = DatagramBuilder(id).Uncompressed(Ticker()).Build();
       d.resize(4 + 2 + 30);
       return d;
     },
     0, "FH : %s : packet 1 of 1 runs past the datagram (36 bytes), rest dropped"},
    {"uncompressed MessageLength below the header",
     [](std::uint8_t id) {
       PlainPacket shortOne{7202, 20};
       shortOne.bodyBytes = 0;
       return DatagramBuilder(id).Uncompressed(shortOne.Build()).Uncompressed(Ticker()).Build();
     },
     0, "FH : %s : packet 1 of 2 has msglen=20, shorter than its header, rest dropped"},
    {"compressed bytes that are no LZO1Z stream",
     [](std::uint8_t id) {
       return DatagramBuilder(id).Raw(Bytes{0xff, 0xff, 0xff, 0xff, 0x00, 0x01}).Uncompressed(Ticker()).Build();
     },
     1, "FH : %s : packet 1 of 2 did not decompress into a message (icomlen=6 out=-1), skipped"},
    {"compressed packet shorter than a plain head",
     [](std::uint8_t id) { return DatagramBuilder(id).Raw(PackedTo(Bytes(30, 0x41), 20)).Uncompressed(Ticker()).Build(); },
     1, "FH : %s : packet 1 of 2 did not decompress into a message (icomlen=20 out=30), skipped"},
};

TEST_P(FramingMalformed, StopsOrSkipsWithOneLineAndDecodesThePacketsBefore) {
  for (const MalformedCase& c : kMalformed) {
    SCOPED_TRACE(c.what);
    FeedState fresh;
    Framing framing(fresh.context);
    RecordingDecoder decoder;
    framing.SetDecoder(GetParam().seg, decoder.Entry());
    FrameAs(framing, GetParam().seg, c.datagram(GetParam().netId));
    EXPECT_EQ(decoder.Count(), c.decoded);
    for (const auto& call : decoder.Calls()) EXPECT_EQ(call.transactionCode, 7202);
    EXPECT_EQ(fresh.log.Lines(), std::vector<std::string>{Line(c.line)});
  }
}

TEST_P(FramingMalformed, DecompressionIsBoundedByTheLanesOutputBuffer) {
  // 1508 plain bytes: too many for the 1024-byte FO and CD buffers, room
  // enough in the 5120-byte capital-market one.
  Frame(DatagramBuilder(GetParam().netId).Raw(PackedTo(PlainPacket{7208, 1500}.Build(), 400)).Build());
  if (GetParam().outputSize > 1508) {
    ASSERT_EQ(decoder.Count(), 1u);
    EXPECT_EQ(decoder.Calls()[0].length, 1500);
    EXPECT_EQ(feed.log.Size(), 0u);
  } else {
    EXPECT_EQ(decoder.Count(), 0u);
    EXPECT_EQ(feed.log.Lines(),
              std::vector<std::string>{Line("FH : %s : packet 1 of 1 did not decompress into a message (icomlen=400 "
                                            "out=-1), skipped")});
  }
}

TEST_P(FramingMalformed, DatagramsTooShortForTheirHeadAreCountedAndDropped) {
  const Bytes full = DatagramBuilder(GetParam().netId).Uncompressed(Ticker()).Build();
  for (int len = 0; len < 4; ++len) {
    Frame(Bytes(full.begin(), full.begin() + len));
    char expected[64];
    std::snprintf(expected, sizeof expected, "datagram of %d bytes is too short, dropped", len);
    EXPECT_EQ(feed.log.Line(0), Line("FH : %s : ") + expected);
  }
  EXPECT_EQ(framing.Counters().Datagrams(GetParam().seg), 4u);
  EXPECT_EQ(decoder.Count(), 0u);
}

// A packet that ends exactly at the datagram's end is framed; one byte more
// and it runs past.
TEST(FramingBoundary, PacketEndingOneBytePastTheDatagramIsDroppedAndOneEndingAtItIsDecoded) {
  struct Case {
    Lane lane;
    const char* compressedPast;    // compLen 195 in a 200-byte datagram
    const char* uncompressedPast;  // 108-byte plain packet in a 113-byte datagram
  };
  const Case cases[] = {
      {testing::kCmLane, "FH : CM : packet 1 of 1 runs past the datagram (200 bytes), rest dropped",
       "FH : CM : packet 1 of 1 runs past the datagram (113 bytes), rest dropped"},
      {testing::kFoLane, "FH : FO : packet 1 of 1 runs past the datagram (200 bytes), rest dropped",
       "FH : FO : packet 1 of 1 runs past the datagram (113 bytes), rest dropped"},
      {testing::kCdLane, "FH : CD : packet 1 of 1 runs past the datagram (200 bytes), rest dropped",
       "FH : CD : packet 1 of 1 runs past the datagram (113 bytes), rest dropped"},
  };
  const Bytes packed = PackedTo(PlainPacket{7208, 466}.Build(), 194);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lane.name);
    FeedState feed;
    Framing framing(feed.context);
    RecordingDecoder decoder;
    framing.SetDecoder(c.lane.seg, decoder.Entry());

    FrameAs(framing, c.lane.seg, DatagramBuilder(c.lane.netId).Raw(packed, 194).Build());
    ASSERT_EQ(decoder.Count(), 1u);
    EXPECT_EQ(decoder.Calls()[0].transactionCode, 7208);
    EXPECT_EQ(feed.log.Size(), 0u);
    FrameAs(framing, c.lane.seg, DatagramBuilder(c.lane.netId).Raw(packed, 195).Build());
    EXPECT_EQ(decoder.Count(), 1u);
    EXPECT_EQ(feed.log.Lines(), std::vector<std::string>{c.compressedPast});

    const Bytes whole = DatagramBuilder(c.lane.netId).Uncompressed(Ticker()).Build();
    FrameAs(framing, c.lane.seg, whole);
    ASSERT_EQ(decoder.Count(), 2u);
    EXPECT_EQ(decoder.Calls()[1].transactionCode, 7202);
    EXPECT_EQ(decoder.Calls()[1].length, 98);  // the message address is 10 bytes into the 108
    FrameAs(framing, c.lane.seg, Bytes(whole.begin(), whole.end() - 1));
    EXPECT_EQ(decoder.Count(), 2u);
    EXPECT_EQ(feed.log.Line(0), c.uncompressedPast);
    EXPECT_EQ(feed.log.Size(), 2u);
  }
}

// A decoder that checks every message lies within memory the framing may hand
// out: the framed datagram or the framing object's own buffers. It reads every
// byte it was given and writes the last one, as decoders do.
struct BoundsCheckingDecoder {
  Framing* framing = nullptr;
  const std::uint8_t* datagram = nullptr;
  int len = 0;
  int calls = 0;
  int violations = 0;
  unsigned sum = 0;

  static void Decode(void* self, std::uint8_t* message, int length) {
    auto* me = static_cast<BoundsCheckingDecoder*>(self);
    ++me->calls;
    const auto* lo = message - 2;
    const auto* hi = message + std::max(length, 38);  // the whole header may always be read
    const auto* fBegin = reinterpret_cast<const std::uint8_t*>(me->framing);
    const auto* fEnd = fBegin + sizeof(Framing);
    const bool inDatagram = lo >= me->datagram && hi <= me->datagram + me->len;
    const bool inFraming = lo >= fBegin && hi <= fEnd;
    if (!inDatagram && !inFraming) ++me->violations;
    for (int i = -2; i < length; ++i) me->sum += message[i];
    if (length > 0) message[length - 1] ^= 0x5a;
  }

  // Routes len bytes at data by their net id, as the receiver does.
  void Frame(std::uint8_t* data, int n) {
    datagram = data;
    len = n;
    Framing& f = *framing;
    switch (n > 0 ? data[0] : 0) {
      case 4: f.FrameCmDatagram(data, n); break;
      case 2: f.FrameFoDatagram(data, n); break;
      case 6: f.FrameCdDatagram(data, n); break;
      default: f.RecordUnknownDatagram(data, n); break;
    }
  }
};

TEST(FramingCorpus, EveryPrefixOfEveryFuzzSeedStaysInsideTheFramingsMemory) {
  const auto corpus = testing::ReadCorpus("fuzz_nse_framing");
  ASSERT_GE(corpus.size(), 100u) << FH_FUZZ_CORPUS;
  FeedState feed;
  feed.options.pktCounters = 1;
  Framing framing(feed.context);
  BoundsCheckingDecoder check{&framing};
  for (int seg : {kSegNcm, kSegNfo, kSegNcd}) framing.SetDecoder(seg, DecoderEntry{&BoundsCheckingDecoder::Decode, &check});

  std::uint32_t routed = 0;
  for (const auto& input : corpus) {
    SCOPED_TRACE(input.name);
    for (std::size_t n = 0; n <= input.bytes.size(); ++n) {
      // Exact size: AddressSanitizer sees any access past the end.
      std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n == 0 ? 1 : n]);
      std::copy_n(input.bytes.begin(), n, exact.get());
      check.Frame(exact.get(), static_cast<int>(n));
      // One marker byte behind: any build sees a write past the end.
      std::unique_ptr<std::uint8_t[]> marked(new std::uint8_t[n + 1]);
      std::copy_n(input.bytes.begin(), n, marked.get());
      marked[n] = 0xc3;
      check.Frame(marked.get(), static_cast<int>(n));
      ASSERT_EQ(marked[n], 0xc3) << "prefix of " << n << " bytes";
      if (n > 0 && (input.bytes[0] == 2 || input.bytes[0] == 4 || input.bytes[0] == 6)) routed += 2;
    }
  }
  EXPECT_EQ(check.violations, 0);
  EXPECT_GT(check.calls, 1000);
  EXPECT_EQ(framing.Counters().Datagrams(kSegNcm) + framing.Counters().Datagrams(kSegNfo) +
                framing.Counters().Datagrams(kSegNcd),
            routed);
}

}  // namespace
}  // namespace fh
