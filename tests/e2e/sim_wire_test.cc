// The simulator's wire builders: what they send must be what an NSE or BSE
// feed looks like, read back with the exchange's decompressor.
#include <gtest/gtest.h>
#include <lzo/lzo1z.h>

#include <cstring>

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

}  // namespace
}  // namespace fh::sim
