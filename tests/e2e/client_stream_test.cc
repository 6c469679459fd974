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

std::vector<std::uint8_t> Packet(int segmentCode, int code, int length) {
  auto p = Packet(code, length);
  Store16(p.data() + forwarded::kSegmentCode, static_cast<std::int16_t>(segmentCode));
  return p;
}

// The form of an NSE packet by its length: the classic forms' fixed lengths,
// today's MessageLength + 6, whole or trimmed to its records (lengths from
// the exchange's tables), and a length no form of the code has.
TEST(DescribePacket, TellsTheFormByThePacketLength) {
  struct Case {
    int segmentCode, code, length;
    const char* form;
  };
  const Case cases[] = {
      {20, 7201, 448, "classic"}, {20, 7201, 472, "CM6"},     {20, 7201, 154, "CM6"},    {20, 7201, 460, "unknown"},
      {20, 7208, 472, "classic"}, {20, 7208, 572, "CM6"},     {20, 7208, 310, "CM6"},    {20, 7208, 500, "unknown"},
      {20, 18703, 552, "CM6"},    {20, 7202, 496, "classic"}, {21, 7201, 478, "classic"}, {21, 7201, 504, "FO9.48"},
      {21, 7201, 498, "unknown"}, {21, 17201, 498, "FO9.43"}, {21, 17202, 504, "FO9.43"}, {21, 17208, 564, "FO9.48"},
      {21, 17211, 254, "FO9.48"}, {21, 17211, 210, "unknown"}, {22, 7201, 478, "classic"}, {22, 7201, 504, "unknown"},
  };
  for (const Case& c : cases) {
    const auto p = Packet(c.segmentCode, c.code, c.length);
    const PacketInfo info = DescribePacket(p.data(), c.length);
    EXPECT_STREQ(info.form, c.form) << c.segmentCode << " " << c.code << " " << c.length;
  }
  auto bse = Packet(20, 2020, 300);
  Store16(bse.data() + forwarded::kExchangeCode, forwarded::kExchangeBse);
  EXPECT_EQ(DescribePacket(bse.data(), 300).form, nullptr);
}

// The best bid and ask of a market-by-price packet, classic and today's
// (8-byte quantities), never read past a short one. Record fields at the
// exchange's offsets: the record starts 48 bytes into the packet.
TEST(DescribePacket, ReadsTheBestBidAndAskOfAMarketByPricePacket) {
  auto p = Packet(nse::cm::mbp::kCode, 472);
  Store16(p.data() + 46, 1);  // NoOfRecords
  Store16(p.data() + 48, 2885);
  Store32(p.data() + 48 + 54, 50);           // depth 0 quantity
  Store32(p.data() + 48 + 54 + 4, 123400);   // depth 0 price
  Store32(p.data() + 48 + 114 + 4, 123500);  // depth 5 price
  EXPECT_EQ(FormatPacket(DescribePacket(p.data(), static_cast<int>(p.size()))),
            "pkt NSE seg=20 code=7208 (market by price, classic) len=472 token=2885 bid=123400x50 ask=123500x0");
  auto wide = Packet(21, 17208, 564);
  Store16(wide.data() + 46, 2);
  Store32(wide.data() + 48, 38665);
  const std::int64_t quantity = 5000001001;
  std::memcpy(wide.data() + 48 + 60, &quantity, 8);
  Store32(wide.data() + 48 + 68, 123400);
  const std::int64_t sellQuantity = 5000006006;
  std::memcpy(wide.data() + 48 + 140, &sellQuantity, 8);
  Store32(wide.data() + 48 + 148, 123500);
  EXPECT_EQ(FormatPacket(DescribePacket(wide.data(), static_cast<int>(wide.size()))),
            "pkt NSE seg=21 code=17208 (market by price, FO9.48) len=564 token=38665 bid=123400x5000001001 "
            "ask=123500x5000006006");
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

// An NSE datagram laid out by hand: net id, a byte, the big-endian packet
// count, then packets: compLen and compressed bytes, or compLen 0 and a plain
// packet of 8 + MessageLength bytes (MessageLength at packet offset 46).
struct Datagram {
  std::vector<std::uint8_t> bytes;
  Datagram(std::uint8_t netId, int packets) : bytes{netId, 0, 0, 0} { StoreBe16(bytes.data() + 2, static_cast<std::int16_t>(packets)); }
  Datagram& Compressed(int n) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 2 + static_cast<std::size_t>(n), 0x5a);
    StoreBe16(bytes.data() + at, static_cast<std::int16_t>(n));
    return *this;
  }
  Datagram& Plain(int messageLength) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 2 + 8 + static_cast<std::size_t>(messageLength), 0x33);
    StoreBe16(bytes.data() + at, 0);
    StoreBe16(bytes.data() + at + 2 + 46, static_cast<std::int16_t>(messageLength));
    return *this;
  }
  Datagram& PadTo(std::size_t n) {
    bytes.resize(n, 0);
    return *this;
  }
};

// Datagrams of any size up to the UDP maximum come back whole from a
// recording; padding stays with its datagram; a record that does not walk
// ends where datagrams walk again.
TEST(BinRecords, WalksTheNseDatagramsOfARecording) {
  Datagram big(2, 60);
  for (int i = 0; i < 60; ++i) big.Plain(992);
  const std::vector<std::uint8_t> junk = {2, 0, 0x7f, 0xff, 1, 2, 3};
  const std::vector<std::vector<std::uint8_t>> datagrams = {
      Datagram(2, 1).Compressed(5).bytes,                 // 11 bytes
      Datagram(4, 2).Plain(566).Compressed(3).bytes,      // a plain 566-byte message: 585 bytes
      Datagram(6, 1).Compressed(10).PadTo(512).bytes,     // padded with zeros
      big.bytes,                                          // 60124 bytes
      Datagram(4, 0).bytes,
      junk,                                               // claims 32767 packets
      Datagram(2, 1).Compressed(5).bytes,
      Datagram(2, 1).Plain(40).bytes,
  };
  std::vector<std::uint8_t> file;
  for (const auto& d : datagrams) file.insert(file.end(), d.begin(), d.end());
  long long guessed = 0;
  const auto records = SplitNseRecording(file, &guessed);
  ASSERT_EQ(records.size(), datagrams.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(std::vector<std::uint8_t>(records[i].begin(), records[i].end()), datagrams[i]) << "record " << i;
  }
  EXPECT_EQ(datagrams[1].size(), 585u);
  EXPECT_EQ(datagrams[3].size(), 60124u);
  EXPECT_EQ(guessed, 1);
  // A file that ends inside a datagram: the rest is one record.
  const auto cut = SplitNseRecording(std::span(file).first(11 + 300));
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[1].size(), 300u);
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
  StoreBe16(udp + 2, static_cast<std::int16_t>(static_cast<std::uint16_t>(34330)));
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
    h.ts.tv_usec = static_cast<suseconds_t>(i) * 500;  // nanoseconds in a nano-precision file
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
    EXPECT_EQ(d->timeNs, 100'000'000'000LL + i * 500LL);
    EXPECT_EQ(d->dstAddress, 0xE9010205u);
    EXPECT_EQ(d->dstPort, 34330);
  }
  EXPECT_FALSE(reader.Next());
  EXPECT_EQ(reader.skipped(), 3);
  EXPECT_FALSE(reader.Open(dir.File("missing.pcap"), &error));
}

}  // namespace
}  // namespace fh::tools
