// Datagrams that lie about their packets, lengths and contents: the framing
// stops or skips with one log line and never reaches outside its memory, nor
// does the decompression. Every datagram is framed from an exact-size heap
// copy so AddressSanitizer sees any access past its end.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "intake/decompress.h"
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
using testing::PlainPacket;

class FramingMalformed : public testing::FramingLaneTest {};
INSTANTIATE_TEST_SUITE_P(Lanes, FramingMalformed, testing::kLanes, testing::LaneName);

// Compressed bytes padded with zeros to size; the decompressor ignores what
// follows a complete stream, so the padding only moves the packet's end.
Bytes PackedTo(const Bytes& plain, std::size_t size) {
  Bytes packed = testing::Compress(plain);
  EXPECT_LE(packed.size(), size);
  packed.resize(size, 0);
  return packed;
}

Bytes Resized(Bytes bytes, std::size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

// Each datagram is recorded whole and counted whatever it holds; the feed's
// figures count the packets decoded and the one line's cause.
TEST_P(FramingMalformed, StopsOrSkipsWithOneLineAndDecodesThePacketsBefore) {
  struct Case {
    const char* what;
    Bytes datagram;
    std::size_t decoded;  // all of them TransactionCode 7202, and each counted
    std::string line;     // empty: none
    int length = -1;      // handed to the last decoder call, unless -1
  };
  const std::uint8_t id = NetId();
  const Bytes ticker = PlainPacket{7202, 100}.Build();  // 108 bytes, 110 with its compLen field
  const Bytes one = DatagramBuilder(id).Uncompressed(ticker).Build();  // 114 bytes
  const Bytes packed = PackedTo(PlainPacket{7202, 466}.Build(), 194);
  const Bytes trxZero = testing::Compress(PlainPacket{0, 100, 1, 0, 1}.Build());
  DatagramBuilder big(id);
  for (int i = 0; i < 6; ++i) big.Uncompressed(PlainPacket{7202, 200}.Build());  // 6 x 210 bytes
  const bool cm = Seg() == kSegNcm;
  const Case cases[] = {
      {"noOfPackets zero", DatagramBuilder(id).Uncompressed(ticker).Packets(0).Build(), 0, ""},
      {"noOfPackets negative", DatagramBuilder(id).Uncompressed(ticker).Packets(-3).Build(), 0, ""},
      {"another segment's net id", DatagramBuilder(GetParam().otherNetId).Uncompressed(ticker).Build(), 0,
       GetParam().notExpected + std::string(1, static_cast<char>(GetParam().otherNetId))},
      {"TransactionCode zero, then a good packet", DatagramBuilder(id).Raw(trxZero).Uncompressed(ticker).Build(), 1,
       Line("FH : %s : cnet=%c pkts=2 icomlen=%d msglen=100 trx=0", id, static_cast<int>(trxZero.size()))},
      {"noOfPackets claims more than the datagram holds",
       DatagramBuilder(id).Uncompressed(ticker).Uncompressed(ticker).Packets(5).Build(), 2,
       Line("FH : %s : packet 3 of 5 runs past the datagram (224 bytes), rest dropped")},
      {"compLen field cut by the end", Resized(DatagramBuilder(id).Uncompressed(ticker).Packets(2).Build(), 115), 1,
       Line("FH : %s : packet 2 of 2 runs past the datagram (115 bytes), rest dropped")},
      {"compLen far past the end",
       DatagramBuilder(id).Uncompressed(ticker).Raw(Bytes(10, 0x55), 400).Uncompressed(ticker).Build(), 1,
       Line("FH : %s : packet 2 of 3 runs past the datagram (236 bytes), rest dropped")},
      {"uncompressed header cut by the end", Resized(one, 36), 0,
       Line("FH : %s : packet 1 of 1 runs past the datagram (36 bytes), rest dropped")},
      {"uncompressed MessageLength below the header",
       DatagramBuilder(id).Uncompressed(PlainPacket{7202, 20, 0, 0, 1, 0}.Build()).Uncompressed(ticker).Build(), 0,
       Line("FH : %s : packet 1 of 2 has msglen=20, shorter than its header, rest dropped")},
      {"compressed bytes that are no LZO1Z stream",
       DatagramBuilder(id).Raw(Bytes{0xff, 0xff, 0xff, 0xff, 0x00, 0x01}).Uncompressed(ticker).Build(), 1,
       Line("FH : %s : packet 1 of 2 did not decompress into a message (icomlen=6 out=-1), skipped")},
      {"compressed packet shorter than a plain head",
       DatagramBuilder(id).Raw(PackedTo(Bytes(30, 0x41), 20)).Uncompressed(ticker).Build(), 1,
       Line("FH : %s : packet 1 of 2 did not decompress into a message (icomlen=20 out=30), skipped")},
      {"no head at all", Bytes{}, 0, Line("FH : %s : datagram of 0 bytes is too short, dropped")},
      {"three bytes of a head", Resized(one, 3), 0, Line("FH : %s : datagram of 3 bytes is too short, dropped")},
      // A packet that ends exactly at the datagram's end is framed; one byte
      // more and it runs past.
      {"compLen 194 ending a 200-byte datagram", DatagramBuilder(id).Raw(packed).Build(), 1, ""},
      {"compLen 195 in a 200-byte datagram", DatagramBuilder(id).Raw(packed, 195).Build(), 0,
       Line("FH : %s : packet 1 of 1 runs past the datagram (200 bytes), rest dropped")},
      {"108-byte plain packet ending a 114-byte datagram", one, 1, "", 114 - 16},
      {"108-byte plain packet in a 113-byte datagram", Resized(one, 113), 0,
       Line("FH : %s : packet 1 of 1 runs past the datagram (113 bytes), rest dropped")},
      // MessageLength is clamped to the bytes the framing owns after the
      // message address: the rest of the output buffer, or none.
      {"MessageLength 30000 of 100 bytes", DatagramBuilder(id).Compressed(PlainPacket{7202, 30000, 1, 0, 1, 60}.Build()).Build(),
       1, "", GetParam().outputSize - 10},
      {"MessageLength -4", DatagramBuilder(id).Compressed(PlainPacket{7202, -4, 1, 0, 1, 20}.Build()).Build(), 1, "", 0},
      // 1508 plain bytes: too many for the 1024-byte FO and CD output buffers.
      {"1508 plain bytes", DatagramBuilder(id).Raw(PackedTo(PlainPacket{7202, 1500}.Build(), 400)).Build(), cm ? 1u : 0u,
       cm ? "" : Line("FH : %s : packet 1 of 1 did not decompress into a message (icomlen=400 out=-1), skipped"), cm ? 1500 : -1},
      // Every lane frames the whole datagram, however long.
      {"1264 bytes", big.Build(), 6u, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FeedState fresh;
    fresh.options.writeBin = 1;
    ASSERT_TRUE(fresh.files.Open(Seg(), SegmentFiles::kBinFile, fresh.dir.File("bin"), "ab+"));
    Framing lane(fresh.context);
    testing::RecordingDecoder seen;
    lane.SetDecoder(Seg(), seen.Entry());
    testing::FrameAs(lane, Seg(), c.datagram);
    EXPECT_EQ(testing::ReadFile(fresh.dir.File("bin")), std::string(c.datagram.begin(), c.datagram.end()));
    EXPECT_EQ(seen.Count(), c.decoded);
    for (const auto& call : seen.Calls()) EXPECT_EQ(call.transactionCode, 7202);
    EXPECT_EQ(fresh.log.Lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    EXPECT_EQ(lane.Counters().Datagrams(Seg()), 1u);
    EXPECT_EQ(lane.Counters().Compressed(Seg()) + lane.Counters().Uncompressed(Seg()), c.decoded);
    if (c.length >= 0) { EXPECT_EQ(seen.Calls().back().length, c.length); }
    const FeedMetrics::Segment& figures = fresh.metrics.Of(Seg());
    const auto said = [&c](const char* cause) { return c.line.find(cause) != std::string::npos ? 1u : 0u; };
    EXPECT_EQ(figures.packetsFramed.Get(), c.decoded);
    EXPECT_EQ(figures.decompressFailures.Get(), said("did not decompress"));
    EXPECT_EQ(figures.malformed[FeedMetrics::kTooShort].Get(), said("is too short"));
    EXPECT_EQ(figures.malformed[FeedMetrics::kRunsPast].Get(), said("runs past"));
    EXPECT_EQ(figures.malformed[FeedMetrics::kShortHeader].Get(), said("shorter than its header"));
    EXPECT_EQ(figures.recordedBytes.Get(), c.datagram.size());
  }
}

// Room for 1507 bytes is too little, for 1508 enough; never a byte more.
TEST(DecompressPacket, RestoresThePacketWithinItsCapacityAndNeverWritesPastIt) {
  const Bytes plain = PlainPacket{7208, 1500}.Build();  // 1508 bytes
  const Bytes packed = testing::Compress(plain);
  for (const int capacity : {1507, 1508}) {
    Bytes out(static_cast<std::size_t>(capacity) + 1, 0);
    out.back() = 0xc3;
    EXPECT_EQ(DecompressPacket(out.data(), capacity, packed.data(), static_cast<int>(packed.size())),
              capacity == 1508 ? 1508 : -1);
    EXPECT_EQ(out.back(), 0xc3);
    EXPECT_TRUE(capacity < 1508 || std::equal(plain.begin(), plain.end(), out.begin()));
  }
}

TEST(DecompressPacket, BrokenOrUnusableInputGivesMinusOne) {
  const Bytes packed = testing::Compress(PlainPacket{7208, 466}.Build());
  Bytes out(5120);
  const int cut = static_cast<int>(packed.size()) - 3;
  EXPECT_EQ(DecompressPacket(out.data(), 5120, packed.data(), cut), -1);
  EXPECT_EQ(DecompressPacket(out.data(), 5120, packed.data(), 0), -1);
  EXPECT_EQ(DecompressPacket(out.data(), -1, packed.data(), static_cast<int>(packed.size())), -1);
  EXPECT_EQ(DecompressPacket(nullptr, 5120, packed.data(), static_cast<int>(packed.size())), -1);
  EXPECT_EQ(DecompressPacket(out.data(), 5120, nullptr, 10), -1);
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

  static void Decode(void* self, std::uint8_t* message, int length, std::int64_t) {
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
    const int netId = n > 0 ? data[0] : 0;
    if (netId == 4) framing->FrameCmDatagram(data, n);
    if (netId == 2) framing->FrameFoDatagram(data, n);
    if (netId == 6) framing->FrameCdDatagram(data, n);
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
    }
  }
  EXPECT_EQ(check.violations, 0);
  EXPECT_GT(check.calls, 1000);
}

}  // namespace
}  // namespace fh
