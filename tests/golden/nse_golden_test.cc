// Golden NSE messages: one hand-built message per layout and segment, with
// offsets and widths typed from the exchange's tables, checked against the
// delta lines, the watched-instrument cells, the index file and the
// forwarded packet byte by byte. A wrong offset, width, record size, capacity
// or byte-order conversion in any decoder layout changes one of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "golden/golden_bytes.h"
#include "golden/golden_rig.h"

namespace fh::golden {
namespace {

// A field the decoder turns to host order: offset (in the record, or in the
// message for layouts without records) and width.
struct F {
  int at;
  int width;
};
using Fields = std::vector<F>;

// A literal value, big-endian, at an offset of record rec (or of the message
// when rec is -1). Width 8 holds a double; a text is blank-padded to width.
struct Key {
  int rec;
  int at;
  int width;
  std::int64_t value;
  std::string text = {};
};

struct Cell {
  int row;
  int col;
  std::string text;
};

struct Case {
  const char* name;
  std::vector<int> segments;
  int code;
  int length;      // MessageLength: the message bytes handed to the decoder
  int packet;      // ForwardedPacket length, 0 when none is built
  int records;     // NoOfRecords at 38, records from 40; 0 for other layouts
  int recordSize;
  Fields converted;
  std::vector<Key> keys;
  std::vector<std::int32_t> subscribed;
  std::string all;  // the all-delta line (segments 1 and 2)
  std::string sub;  // the subscribed-delta line, without the segment prefix
  std::vector<Cell> cells;
  std::string indexFile = {};
  int errorCode = 0x1357;
};

Fields Join(std::initializer_list<Fields> parts) {
  Fields out;
  for (const Fields& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// A 26-byte market block at s: a 2-byte indicator left as received, then buy
// volume, buy price, sell volume, sell price, last traded price, last trade time.
Fields Market(int s) { return {{s + 2, 4}, {s + 6, 4}, {s + 10, 4}, {s + 14, 4}, {s + 18, 4}, {s + 22, 4}}; }
// Ten MBPInfo entries of 12 bytes from s: quantity, price, orders, flag.
Fields Depth(int s) {
  Fields f;
  for (int k = 0; k < 10; ++k) f.insert(f.end(), {{s + 12 * k, 4}, {s + 12 * k + 4, 4}, {s + 12 * k + 8, 2}, {s + 12 * k + 10, 2}});
  return f;
}
// Five spread levels of 10 bytes from s: orders, volume, price.
Fields Levels(int s) {
  Fields f;
  for (int j = 0; j < 5; ++j) f.insert(f.end(), {{s + 10 * j, 2}, {s + 10 * j + 2, 4}, {s + 10 * j + 6, 4}});
  return f;
}
const Fields kIndices = {{22, 4}, {26, 4}, {30, 4}, {34, 4}, {38, 4}, {42, 4},
                         {46, 4}, {50, 4}, {54, 4}, {58, 4}, {62, 8}};

// F&O 7203: twenty records of a 15-character name and a value at 16; the
// index file gets one line per record.
std::vector<Key> IndexKeys() {
  std::vector<Key> keys;
  for (int i = 0; i < 20; ++i) {
    keys.push_back({i, 0, 15, 0, "FO INDEX NO " + std::to_string(10 + i) + "/"});
    keys.push_back({i, 16, 4, 1000000 + 1234 * i});
  }
  return keys;
}
std::string IndexLines() {
  std::string text;
  for (int i = 0; i < 20; ++i) text += "FO INDEX NO " + std::to_string(10 + i) + "/ : " + std::to_string(1000000 + 1234 * i) + "\n";
  return text;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      // Capital market: 2-byte tokens, watched token 2885.
      {"CM 7201 market watch", {1}, 7201, 440, 448, 5, 80,
       Join({{{0, 2}}, Market(2), Market(28), Market(54)}),
       {{0, 0, 2, 2885}, {0, 4, 4, 1100}, {0, 8, 4, 123400}, {0, 12, 4, 1200}, {0, 16, 4, 123500}, {0, 20, 4, 123450},
        {1, 0, 2, 1594}, {1, 20, 4, 51000}, {2, 0, 2, 3001}, {2, 20, 4, 70010}, {3, 0, 2, 3002}, {3, 20, 4, 70020},
        {4, 0, 2, 3003}, {4, 20, 4, 70030}},
       {2885, 1594},
       ",2885|123450,1594|51000,3001|70010,3002|70020,3003|70030", ",2885|123450,1594|51000",
       {{4, 1, "123400"}, {4, 2, "123500"}, {5, 1, "1100"}, {5, 2, "1200"}, {6, 1, "123450"}}},
      {"CM 7202 ticker", {1}, 7202, 488, 496, 28, 16, {{0, 2}, {2, 2}, {4, 4}, {8, 4}, {12, 4}},
       {{0, 0, 2, 2885}, {0, 2, 2, 1}, {0, 4, 4, 98765}, {0, 8, 4, 4321}, {1, 0, 2, 1594}, {1, 2, 2, 2},
        {1, 4, 4, 55555}, {2, 0, 2, 3011}, {2, 2, 2, 1}, {2, 4, 4, 77777}},
       {2885, 1594}, ",2885|98765,3011|77777", ",2885|98765", {{6, 1, "98765"}, {6, 2, "4321"}}},
      {"CM 7203 industry index", {1}, 7203, 482, 490, 17, 26, {{22, 4}}, {}, {}, "", "", {}},
      {"CM 7207 indices", {1}, 7207, 472, 480, 6, 72, kIndices, {}, {}, "", "", {}},
      {"CM 7208 market by price", {1}, 7208, 464, 472, 2, 212,
       Join({{{0, 2}, {2, 2}, {4, 2}, {6, 4}, {10, 4}, {16, 4}, {20, 4}, {24, 4}, {28, 4}, {32, 2}, {34, 2}, {36, 2},
              {38, 4}, {42, 4}, {46, 4}, {50, 4}},
             Depth(54),
             {{174, 2}, {176, 2}, {178, 8}, {186, 8}, {196, 4}, {200, 4}, {204, 4}, {208, 4}}}),
       {{0, 0, 2, 2885}, {0, 2, 2, 1}, {0, 4, 2, 2}, {0, 6, 4, 900100}, {0, 10, 4, 250050}, {0, 20, 4, 75},
        {0, 24, 4, 1300000001}, {0, 54, 4, 500}, {0, 58, 4, 250000}, {0, 114, 4, 600}, {0, 118, 4, 250100},
        {0, 178, 8, 1234567}, {0, 186, 8, 7654321},
        {1, 0, 2, 1594}, {1, 2, 2, 1}, {1, 4, 2, 1}, {1, 10, 4, 260070}},
       {2885, 1594}, ",2885|250050", ",2885|250050",
       {{4, 1, "250000"}, {4, 2, "250100"}, {5, 1, "500"}, {5, 2, "600"}, {6, 1, "250050"}, {6, 2, "75"},
        {7, 1, "900100"}, {7, 2, "1300000001"}, {8, 1, "1234567"}, {8, 2, "7654321"}}},
      {"CM 7305 security update", {1}, 7305, 300, 0, 0, 0, {},
       {{-1, 38, 2, 3045}, {-1, 40, 10, 0, "ABC"}, {-1, 50, 2, 0, "EQ"}}, {}, "", ",3045|1:3045:ABC       :0:0:EQ", {}},

      // F&O and currency derivatives: 4-byte tokens, watched token 38665.
      {"7201 market watch", {2, 3}, 7201, 470, 478, 5, 86,
       Join({{{0, 4}}, Market(4), Market(30), Market(56), {{82, 4}}}),
       {{0, 0, 4, 38665}, {0, 6, 4, 2100}, {0, 10, 4, 158800}, {0, 14, 4, 2200}, {0, 18, 4, 159000},
        {0, 22, 4, 158900}, {1, 0, 4, 43521}, {1, 22, 4, 161000}, {2, 0, 4, 50001}, {2, 22, 4, 200100},
        {3, 0, 4, 50002}, {3, 22, 4, 200200}, {4, 0, 4, 50003}, {4, 22, 4, 200300}},
       {38665, 43521},
       ",38665|158900,43521|161000,50001|200100,50002|200200,50003|200300", ",38665|158900,43521|161000",
       {{4, 1, "158800"}, {4, 2, "159000"}, {5, 1, "2100"}, {5, 2, "2200"}, {6, 1, "158900"}}},
      {"7202 ticker", {2, 3}, 7202, 482, 490, 17, 26, {{0, 4}, {4, 2}, {6, 4}, {10, 4}, {14, 4}, {18, 4}, {22, 4}},
       {{0, 0, 4, 38665}, {0, 4, 2, 1}, {0, 6, 4, 301500}, {0, 10, 4, 650}, {1, 0, 4, 43521}, {1, 4, 2, 2},
        {1, 6, 4, 302000}, {2, 0, 4, 50011}, {2, 4, 2, 1}, {2, 6, 4, 303300}},
       {38665, 43521}, ",38665|301500,50011|303300", ",38665|301500", {{6, 1, "301500"}, {6, 2, "650"}}},
      {"7208 market by price", {2, 3}, 7208, 468, 476, 2, 214,
       Join({{{0, 4}, {4, 2}, {6, 2}, {8, 4}, {12, 4}, {18, 4}, {22, 4}, {26, 4}, {30, 4}, {34, 2}, {36, 2}, {38, 2},
              {40, 4}, {44, 4}, {48, 4}, {52, 4}},
             Depth(56),
             {{176, 2}, {178, 2}, {180, 8}, {188, 8}, {198, 4}, {202, 4}, {206, 4}, {210, 4}}}),
       {{0, 0, 4, 38665}, {0, 4, 2, 1}, {0, 6, 2, 2}, {0, 8, 4, 880100}, {0, 12, 4, 412050}, {0, 22, 4, 35},
        {0, 26, 4, 1300000002}, {0, 56, 4, 700}, {0, 60, 4, 412000}, {0, 116, 4, 800}, {0, 120, 4, 412100},
        {1, 0, 4, 50021}, {1, 4, 2, 1}, {1, 6, 2, 2}, {1, 12, 4, 99900}},
       {38665}, ",38665|412050,50021|99900", ",38665|412050",
       {{4, 1, "412000"}, {4, 2, "412100"}, {5, 1, "700"}, {5, 2, "800"}, {6, 1, "412050"}, {6, 2, "35"},
        {7, 1, "880100"}, {7, 2, "1300000002"}}},
      {"7211 spread market by price", {2, 3}, 7211, 202, 210, 0, 0,
       Join({{{38, 4}, {42, 4}, {46, 2}, {48, 2}, {50, 4}, {54, 4}, {58, 8}}, Levels(66), Levels(116),
             {{166, 8}, {174, 8}, {182, 4}, {186, 4}, {190, 4}, {194, 4}, {198, 4}}}),
       {}, {}, "", "", {}},
      {"7305 contract update", {2, 3}, 7305, 300, 0, 0, 0, {},
       {{-1, 38, 4, 43555}, {-1, 48, 10, 0, "NIFTY"}, {-1, 60, 4, 1300000000}, {-1, 64, 4, 1850000},
        {-1, 68, 2, 0, "CE"}},
       {}, "", ",43555|2:43555:NIFTY     :1300000000:1850000:CE", {}},
      // Three 8-byte entries; nothing of them leaves the decoder.
      {"7130 pairs", {2, 3}, 7130, 62, 0, 0, 0, {}, {}, {}, "", "", {}, "", 3},
      {"FO 7203 industry index", {2}, 7203, 440, 448, 20, 20, {{16, 4}}, IndexKeys(), {}, "", "", {}, IndexLines()},
      {"FO 7207 indices", {2}, 7207, 472, 480, 6, 72, kIndices, {}, {}, "", "", {}},
      {"FO 7732", {2}, 7732, 124, 0, 0, 0, {}, {{-1, 38, 4, 60001}, {-1, 104, 4, 424242}}, {60001},
       ",60001|424242", ",60001|424242", {}},
      {"FO 7733", {2}, 7733, 148, 0, 0, 0, {}, {{-1, 38, 4, 60002}, {-1, 112, 4, 535353}}, {}, ",60002|535353", "", {}},
      {"CD 7213", {3}, 7213, 74, 82, 0, 0, {{38, 4}, {42, 4}, {46, 4}, {50, 4}, {70, 4}},
       {{-1, 38, 4, 70001}, {-1, 50, 4, 818181}}, {70001}, "", ",70001|818181", {}},
  };
  return cases;
}

// Offset of a record field (or a message field) in the image of the whole
// packet, which starts 2 bytes before the message address.
std::size_t At(const Case& c, int rec, int at) {
  return 2 + static_cast<std::size_t>(rec < 0 ? at : 40 + rec * c.recordSize + at);
}

// The packet as on the wire: the 40-byte BcastHeader, then the body filled
// with a pattern, then the case's literal values.
Bytes Wire(const Case& c, int segment) {
  Bytes w(2 + static_cast<std::size_t>(c.length));
  w.Raw(0, {0xE1, 0xE2, 0xA1, 0xA2}).Be32(4, 0x0A0B0C0D).Text(8, "XY", 2).Be16(10, c.code).Be16(12, c.errorCode);
  w.Fill(14, 38, 1).Be16(38, c.length);  // Reserved2, TimeStamp1, TimeStamp2; MessageLength
  w.Fill(40, w.b.size(), c.code + 7 * segment);
  if (c.records > 0) w.Be16(40, c.records);
  for (const Key& k : c.keys) {
    const std::size_t at = At(c, k.rec, k.at);
    if (!k.text.empty()) {
      w.Text(at, k.text, k.width);
    } else if (k.width == 8) {
      w.BeDouble(at, static_cast<double>(k.value));
    } else {
      w.Be(at, k.value, k.width);
    }
  }
  return w;
}

// The ForwardedPacket of the case: the 46-byte header in host order, then
// message bytes 38 on with every converted field reversed.
std::string Packet(const Case& c, int segment, const Bytes& wire) {
  Bytes host = wire;
  if (c.records > 0) host.Reverse(At(c, -1, 38), 2);
  for (int i = 0; i < std::max(c.records, 1); ++i) {
    for (const F& f : c.converted) host.Reverse(At(c, c.records > 0 ? i : -1, f.at), f.width);
  }
  static constexpr int kSegmentCode[] = {0, 20, 21, 22};
  static constexpr int kDivisor[] = {0, 100, 100, 0x9680};
  Bytes p(static_cast<std::size_t>(c.packet));
  p.Le16(0, 10).Le16(2, kSegmentCode[segment]).Le16(4, kDivisor[segment]);
  p.Raw(6, {0xA1, 0xA2, 0x0D, 0x0C}).Le32(10, 0x0A0B0C0D).Text(14, "XY", 2).Le16(16, c.code).Le16(18, c.errorCode);
  p.Copy(20, wire, 14, 24).Le16(44, c.packet);
  p.Copy(46, host, At(c, -1, 38), static_cast<std::size_t>(c.packet - 46));
  return p.Str();
}

TEST(NseGolden, EveryLayoutGivesItsDeltaLinesCellsAndPacket) {
  for (const Case& c : Cases()) {
    for (int segment : c.segments) {
      SCOPED_TRACE(std::string(c.name) + ", segment " + std::to_string(segment));
      Rig rig;
      for (std::int32_t token : c.subscribed) rig.Subscribe(segment, token);
      const Bytes wire = Wire(c, segment);
      rig.Nse(segment, wire.b);

      std::vector<std::string> want;
      if (c.packet > 0) want.push_back("packet");
      if (!c.all.empty() && segment != 3) want.push_back("all " + c.all);
      if (!c.sub.empty()) want.push_back("subscribed " + std::to_string(segment) + c.sub);
      std::vector<std::string> got;
      std::string packet;
      for (const auto& e : rig.out.Events()) {
        EXPECT_EQ(e.segment, segment);
        if (e.kind == fh::testing::RecordingOutput::Event::kPacket) {
          got.push_back("packet");
          packet = e.bytes;
        } else if (e.kind == fh::testing::RecordingOutput::Event::kAll) {
          if (segment != 3) got.push_back("all " + e.bytes);  // segment 3's all-delta line never leaves
        } else {
          got.push_back("subscribed " + e.bytes);
        }
      }
      EXPECT_EQ(got, want);
      if (c.packet > 0) {
        EXPECT_EQ(FirstDifference(Packet(c, segment, wire), packet), "");
      }
      for (const Cell& cell : c.cells) {
        EXPECT_EQ(rig.Cell(cell.row, cell.col), cell.text) << "cell " << cell.row << "," << cell.col;
      }
      if (!c.indexFile.empty()) {
        EXPECT_EQ(rig.IndexFile(), c.indexFile);
      }
      EXPECT_EQ(rig.Count(segment, c.code), 1u);
    }
  }
}

}  // namespace
}  // namespace fh::golden
