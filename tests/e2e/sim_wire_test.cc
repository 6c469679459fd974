// The simulator's wire builders: what they send must be what an NSE or BSE
// feed looks like, read back with the exchange's decompressor.
#include <gtest/gtest.h>
#include <lzo/lzo1z.h>

#include <cstring>
#include <random>

#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"
#include "sim/bse_wire.h"
#include "sim/junk.h"
#include "sim/bse_feed.h"
#include "sim/ledger.h"
#include "sim/nse_feed.h"
#include "sim/nse_wire.h"

namespace fh::sim {
namespace {

using nse::datagram::kCompLenSize;

// Walks a datagram the way the exchange defines it and returns each plain
// packet; fails the test on a packet that runs past the datagram.
std::vector<std::vector<std::uint8_t>> WalkDatagram(std::span<const std::uint8_t> d) {
  std::vector<std::vector<std::uint8_t>> plains;
  EXPECT_GE(d.size(), static_cast<std::size_t>(nse::datagram::kPacketsAt));
  const int packets = LoadBe16(d.data() + nse::datagram::kNoOfPackets);
  std::size_t at = nse::datagram::kPacketsAt;
  for (int i = 0; i < packets; ++i) {
    if (at + kCompLenSize > d.size()) {
      ADD_FAILURE() << "packet " << i << " starts past the end";
      break;
    }
    const int compLen = LoadBe16(d.data() + at);
    at += kCompLenSize;
    std::vector<std::uint8_t> plain(1024 + 16, 0);
    if (compLen > 0) {
      if (at + static_cast<std::size_t>(compLen) > d.size()) {
        ADD_FAILURE() << "compressed packet " << i << " runs past the end";
        break;
      }
      lzo_uint outLen = 1024;
      EXPECT_EQ(lzo1z_decompress_safe(d.data() + at, static_cast<lzo_uint>(compLen), plain.data(), &outLen, nullptr),
                LZO_E_OK);
      plain.resize(outLen);
      at += static_cast<std::size_t>(compLen);
    } else {
      const int messageLength = LoadBe16(d.data() + at + nse::packet::kHeaderAt + nse::header::kMessageLength + kHeaderBeforeMessage);
      const std::size_t size = static_cast<std::size_t>(nse::packet::kUncompressedExtra + messageLength);
      if (at + size > d.size()) {
        ADD_FAILURE() << "plain packet " << i << " runs past the end";
        break;
      }
      plain.assign(d.data() + at, d.data() + at + size);
      at += size;
    }
    plains.push_back(plain);
  }
  return plains;
}

TEST(NseMessageBuilder, WritesTheHeaderBigEndianWithMessageLengthFromTheHeaderStart) {
  NseMessage m(nse::cm::mbp::kCode, nse::cm::mbp::kMessageLength);
  m.SetLogTime(0x01020304);
  m.SetErrorCode(7);
  m.Put16(nse::records::kNoOfRecords, 2);
  EXPECT_EQ(LoadBe16(m.message() + nse::header::kTransactionCode), 7208);
  EXPECT_EQ(LoadBe16(m.message() + nse::header::kMessageLength), nse::cm::mbp::kMessageLength + 2);
  EXPECT_EQ(LoadBe32(m.message() + nse::header::kLogTime), 0x01020304);
  EXPECT_EQ(LoadBe16(m.message() + nse::header::kErrorCode), 7);
  EXPECT_EQ(LoadBe16(m.message() + nse::records::kNoOfRecords), 2);
  EXPECT_EQ(m.plain().size(), static_cast<std::size_t>(nse::packet::kUncompressedExtra + nse::cm::mbp::kMessageLength + 2));
}

TEST(NseMessageBuilder, IgnoresFieldsPastTheMessage) {
  NseMessage m(nse::cd::v7213::kCode, nse::cd::v7213::kMessageLength);
  const auto before = std::vector<std::uint8_t>(m.plain().begin(), m.plain().end());
  m.Put32(nse::cd::v7213::kMessageLength - 2, 0x7fffffff);
  m.PutText(nse::cd::v7213::kMessageLength - 1, "XY", 2);
  EXPECT_EQ(std::vector<std::uint8_t>(m.plain().begin(), m.plain().end()), before);
}

TEST(NseDatagrams, DecompressBackIntoTheMessagesThatWereBuilt) {
  for (int segment = 1; segment <= 3; ++segment) {
    NseSegmentFeed feed(segment, 20, 7);
    NseDatagramSource source(feed, 20, 0);
    Ledger ledger;
    int packets = 0;
    for (int i = 0; i < 200; ++i) {
      int messages = 0;
      const auto d = source.Next(&ledger, &messages);
      ASSERT_LE(d.size(), static_cast<std::size_t>(nse::datagram::kMaxSize));
      EXPECT_EQ(d[nse::datagram::kNetId], NetIdOfSegment(segment));
      const auto plains = WalkDatagram(d);
      ASSERT_EQ(static_cast<int>(plains.size()), messages);
      for (const auto& p : plains) {
        const std::uint8_t* msg = p.data() + nse::packet::kMessageAt;
        const int code = LoadBe16(msg + nse::header::kTransactionCode);
        const int length = LoadBe16(msg + nse::header::kMessageLength);
        EXPECT_GT(code, 0);
        EXPECT_EQ(p.size(), static_cast<std::size_t>(nse::packet::kUncompressedExtra + length));
      }
      packets += messages;
    }
    EXPECT_GT(packets, 200) << "several packets per datagram, segment " << segment;
    EXPECT_EQ(ledger.segments[segment].messages, packets);
    EXPECT_EQ(ledger.segments[segment].datagrams, 200);
  }
}

TEST(NseDatagrams, FixedSizePadsEveryDatagramTo512Bytes) {
  NseSegmentFeed feed(2, 10, 3);
  NseDatagramSource source(feed, 10, nse::datagram::kMaxSize);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(source.Next(nullptr, nullptr).size(), 512u);
}

TEST(NseDatagrams, ThePlainPacketOfAnUncompressedOneStartsRightAfterTheFirst) {
  Lzo1zCompressor lzo;
  DatagramBuilder d(kNetIdCm);
  NseMessage first(nse::cm::ticker::kCode, nse::cd::v7213::kMessageLength);
  NseMessage second(nse::cm::mbp::kCode, nse::cm::mbp::kMessageLength);
  ASSERT_TRUE(d.Add(first.plain(), false, lzo));
  ASSERT_TRUE(d.Add(second.plain(), true, lzo));
  const std::size_t secondAt = nse::datagram::kPacketsAt + kCompLenSize + first.plain().size();
  EXPECT_EQ(LoadBe16(d.bytes().data() + nse::datagram::kPacketsAt), 0);
  EXPECT_GT(LoadBe16(d.bytes().data() + secondAt), 0);
  EXPECT_EQ(WalkDatagram(d.bytes()).size(), 2u);
}

TEST(NseDatagrams, RefusesAPacketThatDoesNotFitAndLeavesTheDatagramAlone) {
  Lzo1zCompressor lzo;
  DatagramBuilder d(kNetIdFo, 100);
  NseMessage big(nse::fo::mbp::kCode, nse::fo::mbp::kMessageLength);
  EXPECT_FALSE(d.Add(big.plain(), false, lzo));
  EXPECT_EQ(d.size(), nse::datagram::kPacketsAt);
  EXPECT_EQ(d.packets(), 0);
}

TEST(NseDatagrams, RawPacketsMayBeEmptyAndLie) {
  DatagramBuilder d(kNetIdCd);
  ASSERT_TRUE(d.AddRaw(32767, {}));
  EXPECT_EQ(d.size(), nse::datagram::kPacketsAt + kCompLenSize);
  EXPECT_EQ(LoadBe16(d.bytes().data() + nse::datagram::kPacketsAt), 32767);
  bse::DatagramBuilder b;
  ASSERT_TRUE(b.AddRawBlock(-1, {}));
  EXPECT_EQ(Load32(b.bytes().data() + bse::kPayloadLength), -1);
}

TEST(SimulatedFeed, ReportsOnlyWhatTheDecodersReport) {
  NseSegmentFeed feed(1, 10, 11);
  for (int i = 0; i < 300; ++i) {
    Effects fx;
    NseMessage m = feed.Make(nse::code::kMarketByPrice, &fx);
    const int records = LoadBe16(m.message() + nse::records::kNoOfRecords);
    int reportable = 0;
    for (int r = 0; r < records; ++r) {
      const std::uint8_t* rec = m.message() + nse::records::kRecordsAt + r * nse::cm::mbp::kRecordSize;
      if (LoadBe16(rec + nse::cm::mbp::kTradingStatus) == 2 && LoadBe16(rec + nse::cm::mbp::kBookType) == 1) {
        ASSERT_LT(reportable, fx.reportCount);
        EXPECT_EQ(fx.reports[reportable].token, LoadBe16(rec + nse::cm::mbp::kToken));
        EXPECT_EQ(fx.reports[reportable].value, LoadBe32(rec + nse::cm::mbp::kLastTradedPrice));
        ++reportable;
      }
    }
    EXPECT_EQ(reportable, fx.reportCount);
    EXPECT_EQ(fx.forwardedLength, nse::cm::mbp::kPacketLength);
  }
}

TEST(SimulatedFeed, TickerReportsOnlyNormalMarketFills) {
  NseSegmentFeed feed(2, 10, 5);
  int skipped = 0;
  for (int i = 0; i < 100; ++i) {
    Effects fx;
    NseMessage m = feed.Make(nse::code::kTicker, &fx);
    const int records = LoadBe16(m.message() + nse::records::kNoOfRecords);
    int k = 0;
    for (int r = 0; r < records; ++r) {
      const std::uint8_t* rec = m.message() + nse::records::kRecordsAt + r * nse::fo::ticker::kRecordSize;
      if (LoadBe16(rec + nse::fo::ticker::kMarketType) != 1) {
        ++skipped;
        continue;
      }
      ASSERT_LT(k, fx.reportCount);
      EXPECT_EQ(fx.reports[k++].value, LoadBe32(rec + nse::fo::ticker::kFillPrice));
    }
    EXPECT_EQ(k, fx.reportCount);
  }
  EXPECT_GT(skipped, 0);
}

TEST(SimulatedFeed, SegmentsUseDisjointTokens) {
  std::mt19937 rng(1);
  const auto cm = MakeUniverse(1, 400, rng);
  const auto fo = MakeUniverse(2, 400, rng);
  EXPECT_EQ(cm.front().token, 2885);
  EXPECT_EQ(fo.front().token, 38665);
  for (const auto& c : cm) {
    EXPECT_LT(c.token, 32768);
    for (const auto& f : fo) ASSERT_NE(c.token, f.token);
  }
}

TEST(Ledger, KeepsTheLastValueInSendingOrder) {
  Ledger ledger;
  Effects a;
  a.segment = 2;
  a.code = 7208;
  a.forwardedLength = 476;
  a.reportCount = 2;
  a.reports[0] = {40007, 100};
  a.reports[1] = {40007, 105};
  ledger.Commit(a);
  EXPECT_EQ((ledger.last[{2, 40007}]), 105);
  EXPECT_EQ((ledger.forwarded[{2, 7208}]), 1);
  EXPECT_NE(ledger.Summary().find("last 2 40007 105\n"), std::string::npos);
  EXPECT_NE(ledger.Summary().find("forward 2 7208 1 476\n"), std::string::npos);
}

TEST(BseDatagrams, BlocksWalkExactlyToTheEnd) {
  BseFeed feed(20, 9);
  bse::DatagramBuilder d;
  Ledger ledger;
  for (int i = 0; i < 100; ++i) {
    feed.NextDatagram(&d, &ledger);
    ASSERT_GE(d.blocks(), 1);
    std::size_t at = 0;
    int blocks = 0;
    while (at < d.bytes().size()) {
      ASSERT_LE(at + bse::kPayloadAt, d.bytes().size());
      const int length = Load32(d.bytes().data() + at + bse::kPayloadLength);
      ASSERT_GT(length, 0);
      at += bse::kPayloadAt + static_cast<std::size_t>(length);
      ++blocks;
    }
    EXPECT_EQ(at, d.bytes().size());
    EXPECT_EQ(blocks, d.blocks());
    EXPECT_LE(d.bytes().size(), static_cast<std::size_t>(bse::kMaxDatagram));
  }
  EXPECT_EQ(ledger.segments[4].datagrams, 100);
}

TEST(BseDatagrams, RecordsLandAfterTheHeadAndCountIsInTheHead) {
  bse::DatagramBuilder d;
  ASSERT_TRUE(d.StartBlock(bse::kShape2020, 2));
  d.PutRecord32(1, bse::r2020::kValue, 71000);
  d.PutRecord32(2, bse::r2020::kValue, 1);  // no third record: ignored
  const std::uint8_t* payload = d.bytes().data() + bse::kPayloadAt;
  EXPECT_EQ(Load32(payload + bse::kMsgType), 2020);
  EXPECT_EQ(Load16(payload + bse::kHeadAt + bse::kShape2020.countAt), 2);
  const std::uint8_t* record1 = payload + bse::kHeadAt + bse::kShape2020.headSize + bse::kShape2020.recordSize;
  EXPECT_EQ(Load32(record1 + bse::r2020::kValue), 71000);
  EXPECT_EQ(d.size(), bse::kPayloadAt + bse::kHeadAt + bse::kShape2020.headSize + 2 * bse::kShape2020.recordSize);
}

TEST(Junk, StaysWithinTheDatagramLimits) {
  std::mt19937 rng(4);
  NseSegmentFeed feed(1, 10, 4);
  BseFeed bse(10, 4);
  for (int i = 0; i < 300; ++i) {
    const auto n = MakeNseJunk(feed, rng);
    EXPECT_GE(n.size(), 1u);
    EXPECT_LE(n.size(), 512u);
    const auto b = MakeBseJunk(bse, rng);
    EXPECT_GE(b.size(), 1u);
    EXPECT_LE(b.size(), static_cast<std::size_t>(bse::kMaxDatagram));
  }
}

}  // namespace
}  // namespace fh::sim
