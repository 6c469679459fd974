// The Bridge client's readers and the replay's record and capture readers.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstring>

#include "client/packet_stream.h"
#include "distribution/forwarded_packet.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"
#include "replay/replay_source.h"
#include "support/test_dir.h"

namespace fh::tools {
namespace {

std::vector<std::uint8_t> Packet(int code, int length) {
  std::vector<std::uint8_t> p(static_cast<std::size_t>(length), 0);
  Store16(p.data() + forwarded::kExchangeCode, forwarded::kExchangeNse);
  Store16(p.data() + forwarded::kSegmentCode, forwarded::kSegmentCm);
  Store16(p.data() + forwarded::kTransactionCode, static_cast<std::int16_t>(code));
  Store16(p.data() + forwarded::kPacketLength, static_cast<std::int16_t>(length));
  return p;
}

TEST(PacketStream, CutsPacketsThatArriveInPiecesAndBreaksOnALengthBelowTheHeader) {
  auto bytes = Packet(7202, nse::cm::ticker::kPacketLength);
  const auto b = Packet(7208, nse::cm::mbp::kPacketLength);
  bytes.insert(bytes.end(), b.begin(), b.end());
  PacketStream stream;
  std::vector<int> lengths;
  auto collect = [&](const std::uint8_t*, int len) { lengths.push_back(len); };
  // Byte by byte up to the middle of the header of the second, then the rest.
  const std::size_t split = bytes.size() - b.size() + 20;
  for (std::size_t i = 0; i < split; ++i) ASSERT_TRUE(stream.Feed(&bytes[i], 1, collect));
  EXPECT_EQ(lengths, std::vector<int>{496});
  ASSERT_TRUE(stream.Feed(bytes.data() + split, bytes.size() - split, collect));
  EXPECT_EQ(lengths, (std::vector<int>{496, 472}));
  EXPECT_EQ(stream.pending(), 0u);
  auto bad = Packet(7202, 46);
  Store16(bad.data() + forwarded::kPacketLength, 45);
  EXPECT_FALSE(stream.Feed(bad.data(), bad.size(), collect));
  EXPECT_TRUE(stream.broken());
  EXPECT_EQ(lengths.size(), 2u);
}

// The best bid and ask of a market-by-price packet, never read past a short one.
TEST(DescribePacket, ReadsTheBestBidAndAskOfAMarketByPricePacket) {
  auto p = Packet(nse::cm::mbp::kCode, nse::cm::mbp::kPacketLength);
  // The body is the converted message from offset 38: NoOfRecords, then records.
  std::uint8_t* body = p.data() + forwarded::kBodyAt - nse::header::kBodyAt;
  Store16(body + nse::records::kNoOfRecords, 1);
  std::uint8_t* rec = body + nse::records::kRecordsAt;
  Store16(rec + nse::cm::mbp::kToken, 2885);
  Store32(rec + nse::cm::mbp::kMbpInfoAt + nse::mbpinfo::kPrice, 123400);
  Store32(rec + nse::cm::mbp::kMbpInfoAt + nse::mbpinfo::kQuantity, 50);
  Store32(rec + nse::cm::mbp::kMbpInfoAt + nse::cm::mbp::kMbpSellAt * nse::cm::mbp::kMbpInfoSize + nse::mbpinfo::kPrice, 123500);
  EXPECT_EQ(FormatPacket(DescribePacket(p.data(), static_cast<int>(p.size()))),
            "pkt NSE seg=20 code=7208 len=472 token=2885 bid=123400x50 ask=123500x0");
  auto shortPacket = Packet(nse::fo::mbp::kCode, forwarded::kHeaderSize + 4);
  const PacketInfo info = DescribePacket(shortPacket.data(), static_cast<int>(shortPacket.size()));
  EXPECT_FALSE(info.hasBook);
  EXPECT_EQ(info.code, 7208);
}

TEST(DeltaLines, SplitsPrefixedAndUnprefixedLinesAndRejectsOthers) {
  struct Case {
    const char* line;
    bool prefixed;
    int segment;
    const char* firstKey;
    bool isChange;
    long long number;  // of the last item
  };
  const Case cases[] = {
      {"1,2885|123450,1594|51000", true, 1, "2885", true, 51000}, {",43521|-1", false, 0, "43521", true, -1},
      {"1,22|1:22:ABC       :0:0:EQ", true, 1, "22", false, 0},   {"4,IDXA|3510012", true, 4, "IDXA", true, 3510012},
  };
  int segment = 0;
  std::vector<DeltaItem> items;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(ParseDeltaLine(c.line, c.prefixed, &segment, &items));
    EXPECT_TRUE(!c.prefixed || segment == c.segment) << segment;
    EXPECT_EQ(items.front().key, c.firstKey);
    EXPECT_EQ(items.back().isChange, c.isChange);
    EXPECT_TRUE(!c.isChange || items.back().number == c.number) << items.back().number;
  }
  const std::pair<const char*, bool> kRejected[] = {{"", true}, {"2885|1", false}, {"x,2885|1", true}, {",2885", false}};
  for (const auto& [line, prefixed] : kRejected) EXPECT_FALSE(ParseDeltaLine(line, prefixed, &segment, &items)) << line;
}

TEST(BinRecords, CutsAtTheRecordSizeWithAShorterLastRecord) {
  std::vector<std::uint8_t> file(512 * 2 + 100);
  file[512] = 2;
  const auto records = SplitBinRecords(file, 512);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].size(), 512u);
  EXPECT_EQ(records[1][0], 2);
  EXPECT_EQ(records[2].size(), 100u);
  EXPECT_TRUE(SplitBinRecords({}, 512).empty());
}

// An Ethernet + IPv4 + UDP frame around a payload.
std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& payload, std::uint16_t fragment = 0) {
  std::vector<std::uint8_t> f(14 + 20 + 8 + payload.size(), 0);
  f[12] = 0x08;
  std::uint8_t* ip = f.data() + 14;
  ip[0] = 0x45;
  StoreBe16(ip + 2, static_cast<std::int16_t>(20 + 8 + payload.size()));
  StoreBe16(ip + 6, static_cast<std::int16_t>(fragment));
  ip[8] = 1;
  ip[9] = 17;
  const std::uint8_t group[4] = {233, 1, 2, 5};
  std::memcpy(ip + 16, group, 4);
  std::uint8_t* udp = ip + 20;
  StoreBe16(udp + 2, 34330);
  StoreBe16(udp + 4, static_cast<std::int16_t>(8 + payload.size()));
  std::memcpy(udp + 8, payload.data(), payload.size());
  return f;
}

// UDP datagrams come back in order with their destination and time; a
// fragment, a frame cut by the snapshot length and a UDP length past the frame
// are skipped.
TEST(Capture, ReadsBackAWrittenCaptureInOrderWithItsTimes) {
  testing::TempDir dir;
  const std::string path = dir.File("feed.pcap");
  pcap_t* dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
  pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
  ASSERT_NE(dumper, nullptr);
  auto lying = Frame({9});
  StoreBe16(lying.data() + 14 + 20 + 4, 2000);
  const std::vector<std::uint8_t> frames[] = {Frame({0, 7}), Frame({9}, 0x2000), Frame({9}), lying, Frame({1}),
                                              Frame({2})};
  for (int i = 0; i < 6; ++i) {
    pcap_pkthdr h{};
    h.ts.tv_sec = 100;
    h.ts.tv_usec = i * 500;  // nanoseconds in a nano-precision file
    h.len = static_cast<bpf_u_int32>(frames[i].size());
    h.caplen = h.len - (i == 2 ? 1 : 0);
    pcap_dump(reinterpret_cast<u_char*>(dumper), &h, frames[i].data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);

  PcapReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  const std::pair<std::vector<std::uint8_t>, int> kRead[] = {{{0, 7}, 0}, {{1}, 4}, {{2}, 5}};
  for (const auto& [payload, i] : kRead) {
    auto d = reader.Next();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->payload, payload);
    EXPECT_EQ(d->timeNs, 100'000'000'000LL + i * 500);
    EXPECT_EQ(d->dstAddress, 0xE9010205u);
    EXPECT_EQ(d->dstPort, 34330);
  }
  EXPECT_FALSE(reader.Next());
  EXPECT_EQ(reader.skipped(), 3);
  EXPECT_FALSE(reader.Open(dir.File("missing.pcap"), &error));
}

}  // namespace
}  // namespace fh::tools
