// The simulator's wire builders: what they send must be what an NSE or BSE
// feed looks like, read back with the exchange's decompressor.
#include <gtest/gtest.h>
#include <lzo/lzo1z.h>

#include <cstring>
#include <map>
#include <set>

#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"
#include "sim/bse_wire.h"
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
  std::size_t at = nse::datagram::kPacketsAt;
  for (int i = 0; i < LoadBe16(d.data() + nse::datagram::kNoOfPackets); ++i) {
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
    } else {  // MessageLength counts from BcastHeader, before the message address
      const int messageLength = LoadBe16(d.data() + at + nse::packet::kHeaderAt + nse::header::kMessageLength + kHeaderBeforeMessage);
      const int plainSize = nse::packet::kUncompressedExtra + messageLength;
      const auto size = static_cast<std::size_t>(plainSize);
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

TEST(Builders, IgnoreFieldsPastTheirEnd) {
  NseMessage m(nse::cd::v7213::kCode, nse::cd::v7213::kMessageLength);
  const std::vector<std::uint8_t> message(m.plain().begin(), m.plain().end());
  m.Put32(nse::cd::v7213::kMessageLength - 3, 0x7fffffff);  // one byte too many
  m.PutText(nse::cd::v7213::kMessageLength - 1, "XY", 2);
  EXPECT_EQ(std::vector<std::uint8_t>(m.plain().begin(), m.plain().end()), message);

  bse::DatagramBuilder d;
  ASSERT_TRUE(d.StartBlock(bse::kShape2014, 2));
  const std::vector<std::uint8_t> block(d.bytes().begin(), d.bytes().end());
  d.PutRecord32(-1, 0, 1);  // would land in the head
  d.PutRecord32(1, bse::kShape2014.recordSize - 3, 1);
  d.PutRecord16(1, bse::kShape2014.recordSize - 1, 1);
  d.PutRecordText(1, bse::kShape2014.recordSize - 2, "ABC", 3);
  EXPECT_EQ(std::vector<std::uint8_t>(d.bytes().begin(), d.bytes().end()), block);
}

TEST(NseDatagrams, DecompressBackIntoTheMessagesThatWereBuilt) {
  for (int run = 0; run < 9; ++run) {
    const int segment = run % 3 + 1;
    const Wire wire = static_cast<Wire>(run / 3);
    SCOPED_TRACE(std::string(WireName(wire)) + " segment " + std::to_string(segment));
    NseSegmentFeed feed(segment, 20, 7, wire);
    NseDatagramSource source(feed, 20, 0);
    Ledger ledger;
    int packets = 0;
    for (int i = 0; i < 200; ++i) {
      int messages = 0;
      const auto d = source.Next(&ledger, &messages);
      // Today's messages of more than 512 bytes travel compressed.
      ASSERT_LE(d.size(), 512u);
      EXPECT_EQ(d[nse::datagram::kNetId], NetIdOfSegment(segment));
      const auto plains = WalkDatagram(d);
      ASSERT_EQ(static_cast<int>(plains.size()), messages);
      for (const auto& p : plains) {
        const int length = LoadBe16(p.data() + nse::packet::kMessageAt + nse::header::kMessageLength);
        EXPECT_EQ(p.size(), static_cast<std::size_t>(nse::packet::kUncompressedExtra + length));
      }
      packets += messages;
    }
    EXPECT_GT(packets, 200) << "several packets per datagram, segment " << segment;
    EXPECT_EQ(ledger.segments[segment].messages, packets);
    EXPECT_EQ(ledger.segments[segment].datagrams, 200);
  }
}

// Reads of a plain packet at BcastHeader offsets (the packet's 8 leading
// bytes first): TransactionCode at 10, MessageLength at 38.
int CodeOf(const std::vector<std::uint8_t>& plain) { return LoadBe16(plain.data() + 8 + 10); }
int LengthOf(const std::vector<std::uint8_t>& plain) { return LoadBe16(plain.data() + 8 + 38); }
std::int64_t Be64At(const std::vector<std::uint8_t>& plain, int messageOffset) {
  std::int64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    const int at = 10 + messageOffset + i;
    v = v << 8 | plain[static_cast<std::size_t>(at)];
  }
  return v;
}

// Each form of today's wire, as the exchange's texts size it: the whole
// MessageLength, the record size of a message trimmed to its records
// (42 + size x count; 17130 40 + 12 x count), the forwarded packet of the
// whole message (MessageLength + 6; 0: none), and message offsets of 8-byte
// counts in record 0 (or the body) that must lie above 2^32.
struct TodaysForm {
  int segment, code, length, recordSize, packet;
  std::vector<int> wideAt;
};
const TodaysForm kTodaysForms[] = {
    {1, 7201, 466, 106, 472, {40 + 6, 40 + 18}},
    {1, 18703, 546, 18, 552, {}},
    {1, 7208, 566, 262, 572, {40 + 8, 40 + 60, 40 + 140, 40 + 224, 40 + 232}},
    {1, 18720, 260, 0, 0, {}},
    {2, 7201, 498, 114, 504, {40 + 6, 40 + 18, 40 + 106}},
    {2, 17201, 492, 90, 498, {40 + 82}},
    {2, 17202, 498, 38, 504, {40 + 14, 40 + 22, 40 + 30}},
    {2, 17208, 558, 258, 564, {40 + 8, 40 + 52, 40 + 60, 40 + 140, 40 + 224, 40 + 232}},
    {2, 17211, 248, 0, 254, {54, 70 + 2, 140 + 2}},
    {2, 17130, 508, 12, 0, {38 + 4}},
};

// The forms each wire sends, read back off the wire: today's at the
// exchange's lengths (whole, or trimmed in the mixed wire), the classic
// forms they replace never in today's, both in the mixed wire; the ledger
// expects the forwarded packet of each.
TEST(NseDatagrams, EachWireSendsItsFormsAtTheExchangesLengths) {
  for (const Wire wire : {Wire::kToday, Wire::kMixed}) {
    for (int segment : {1, 2}) {
      SCOPED_TRACE(std::string(WireName(wire)) + " segment " + std::to_string(segment));
      NseSegmentFeed feed(segment, 30, 3, wire);
      NseDatagramSource source(feed, 30, 0);
      std::vector<std::pair<std::vector<std::uint8_t>, int>> sent;  // plain packet, forwarded length
      source.SetObserver([&](const NseMessage& m, const Effects& fx) {
        sent.emplace_back(std::vector<std::uint8_t>(m.plain().begin(), m.plain().end()), fx.forwardedLength);
      });
      std::vector<std::vector<std::uint8_t>> received;
      for (int i = 0; i < 1500; ++i) {
        const auto plains = WalkDatagram(source.Next(nullptr, nullptr));
        received.insert(received.end(), plains.begin(), plains.end());
      }
      ASSERT_EQ(received.size(), sent.size());
      std::map<int, int> seen;  // code -> messages of one of today's forms
      std::set<int> codes;
      int trimmed = 0;
      for (std::size_t i = 0; i < received.size(); ++i) {
        const auto& p = received[i];
        ASSERT_EQ(p, sent[i].first);
        const int code = CodeOf(p), length = LengthOf(p);
        codes.insert(code);
        for (const TodaysForm& f : kTodaysForms) {
          if (f.segment != segment || f.code != code) continue;
          // Classic 7201 (CM 442, F&O 472) and 7208 (466) in the mixed wire.
          if ((code == 7201 && (length == 442 || length == 472)) || (code == 7208 && length == 466)) break;
          const int head = code == 17130 ? 40 : 42;
          const bool whole = length == f.length;
          EXPECT_TRUE(whole || (f.recordSize > 0 && (length - head) % f.recordSize == 0 && length < f.length))
              << code << " at " << length;
          trimmed += whole ? 0 : 1;
          EXPECT_EQ(sent[i].second, f.packet == 0 ? 0 : length + 6) << code;
          for (int at : f.wideAt) EXPECT_GT(Be64At(p, at), 1LL << 32) << code << " at " << at;
          ++seen[code];
        }
      }
      for (const TodaysForm& f : kTodaysForms) {
        if (f.segment != segment || (f.code == 17201 && wire != Wire::kMixed)) continue;
        EXPECT_GT(seen[f.code], 0) << f.code;
      }
      const std::set<int> classicOnly = segment == 1 ? std::set<int>{7202, 7305} : std::set<int>{7202, 7208, 7211, 7130};
      for (int code : classicOnly) EXPECT_EQ(codes.count(code), wire == Wire::kMixed ? 1u : 0u) << code;
      EXPECT_EQ(codes.count(17201), segment == 2 && wire == Wire::kMixed ? 1u : 0u);
      EXPECT_EQ(trimmed > 0, wire == Wire::kMixed);
    }
  }
}

// Capital-market tokens of today's wire need the 4-byte fields; the classic
// feed keeps them below 32768 for its 2-byte ones.
TEST(NseDatagrams, TodaysCapitalMarketTokensLieAbove65535) {
  for (const Wire wire : {Wire::kClassic, Wire::kToday}) {
    const NseSegmentFeed feed(1, 4000, 1, wire);
    for (const Instrument& in : feed.universe()) {
      if (in.token == 2885) continue;  // the watched instrument
      EXPECT_TRUE(wire == Wire::kToday ? in.token > 65535 : in.token < 32768) << in.token;
    }
  }
}

// Large datagrams on request: up to --max-datagram bytes, today's long
// packets then travel plain as well.
TEST(NseDatagrams, ALargerMaximumCarriesLongPacketsPlain) {
  NseSegmentFeed feed(1, 20, 5, Wire::kToday);
  NseDatagramSource source(feed, 100, 0, 9000);
  std::size_t largest = 0;
  for (int i = 0; i < 100; ++i) {
    int messages = 0;
    const auto d = source.Next(nullptr, &messages);
    ASSERT_LE(d.size(), 9000u);
    largest = std::max(largest, d.size());
    ASSERT_EQ(static_cast<int>(WalkDatagram(d).size()), messages);
    EXPECT_EQ(LoadBe16(d.data() + 4), 0) << "the first packet's compLen: plain";
  }
  EXPECT_GT(largest, 4096u);
}

}  // namespace
}  // namespace fh::sim
