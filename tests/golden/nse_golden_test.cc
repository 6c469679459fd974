// Golden NSE messages: one hand-built message per layout and segment, with
// offsets and widths typed from the exchange's tables, checked against the
// delta lines, the watched-instrument cells, the index file and the
// forwarded packet byte by byte. A wrong offset, width, record size, capacity
// or byte-order conversion in any decoder layout changes one of them.
//
// Today's wire widens several layouts (CM 7201 and 7208 keep their codes with
// new records, chosen by the exact MessageLength; CM 18703 and 18720 and F&O
// 17201, 17202, 17208, 17211 and 17130 replace classic codes). Each new form
// is held to its classic twin's behaviour, with the fields typed from the
// exchange's protocol texts, and ten worked messages are fed byte for byte.
#include <gtest/gtest.h>

#include <sstream>
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

// How a Key's number is written: kInt is an integer of the key's width,
// except that width 8 holds a double (the only 8-byte type of the classic
// layouts); today's 8-byte fields say which they are.
enum class Type { kInt, kI64, kF64 };

// A literal value, big-endian, at an offset of record rec (or of the message
// when rec is -1). A text is blank-padded to width.
struct Key {
  int rec;
  int at;
  int width;
  std::int64_t value;
  std::string text = {};
  Type type = Type::kInt;
};
Key I64(int rec, int at, std::int64_t value) { return {rec, at, 8, value, {}, Type::kI64}; }
Key F64(int rec, int at, std::int64_t value) { return {rec, at, 8, value, {}, Type::kF64}; }

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
    } else if (k.type == Type::kI64) {
      w.Be(at, k.value, 8);
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
  // The header as the framing leaves it: LogTime (4), TransactionCode (10) and
  // ErrorCode (12) in host order, the rest as received. Bytes 6 to 9 are
  // message bytes 0 to 3: the second reserved field, then the first half of
  // the host-order LogTime.
  p.Copy(6, wire, 2, 2).Copy(8, wire, 6, 2).Reverse(8, 2).Copy(10, wire, 4, 4).Reverse(10, 4);
  p.Copy(14, wire, 8, 2).Copy(16, wire, 10, 2).Reverse(16, 2).Copy(18, wire, 12, 2).Reverse(18, 2);
  p.Copy(20, wire, 14, 24).Le16(44, c.packet);
  p.Copy(46, host, At(c, -1, 38), static_cast<std::size_t>(c.packet - 46));
  return p.Str();
}

// Decodes wire in a fresh rig and checks the case's output: the packet and
// the delta lines in order, the view cells, the index file and the count.
// twin, when not 0, is the classic code whose counter and grid row the
// message must advance as well.
void Expect(const Case& c, int segment, const Bytes& wire, int twin = 0) {
  SCOPED_TRACE(std::string(c.name) + ", segment " + std::to_string(segment) + ", length " + std::to_string(c.length));
  Rig rig;
  for (std::int32_t token : c.subscribed) rig.Subscribe(segment, token);
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
  if (twin != 0) {
    EXPECT_EQ(rig.Count(segment, twin), 1u) << "counter of " << twin;
    // 7130 has no grid row; the others show the count in the segment's column.
    EXPECT_EQ(rig.state.CounterCell(twin, segment == 1 ? 1 : 2), twin == 7130 ? "(no row)" : "1") << "row " << twin;
  }
}

TEST(NseGolden, EveryLayoutGivesItsDeltaLinesCellsAndPacket) {
  for (const Case& c : Cases()) {
    for (int segment : c.segments) Expect(c, segment, Wire(c, segment));
  }
}

// ---- Today's wire -------------------------------------------------------

// The classic code whose counter and grid row a code of today's wire shares.
int Twin(int code) {
  switch (code) {
    case 17201: return 7201;
    case 17202:
    case 18703: return 7202;
    case 17208: return 7208;
    case 17211: return 7211;
    case 17130: return 7130;
    case 18720: return 7305;
    default: return code;
  }
}

// A 34-byte market block at s: a 2-byte indicator left as received, then buy
// volume (8 bytes), buy price, sell volume (8), sell price, last traded price,
// last trade time.
Fields Market34(int s) { return {{s + 2, 8}, {s + 10, 4}, {s + 14, 8}, {s + 22, 4}, {s + 26, 4}, {s + 30, 4}}; }
// Ten 16-byte depth entries from s: quantity (8), price, orders, flag.
Fields Depth16(int s) {
  Fields f;
  for (int k = 0; k < 10; ++k) {
    const int e = s + 16 * k;
    f.insert(f.end(), {{e, 8}, {e + 8, 4}, {e + 12, 2}, {e + 14, 2}});
  }
  return f;
}
// Five 14-byte spread levels from s: orders, volume (8), price.
Fields Levels14(int s) {
  Fields f;
  for (int j = 0; j < 5; ++j) f.insert(f.end(), {{s + 14 * j, 2}, {s + 14 * j + 2, 8}, {s + 14 * j + 10, 4}});
  return f;
}

// Market watch with 34-byte blocks: record 0 carries market 0's volumes and
// prices and distinct last traded prices in markets 1 (38 + 26) and 2
// (72 + 26); record i has tokens[i] and market 0's price 123450 + 1000 i.
std::vector<Key> Watch34(const std::vector<std::int32_t>& tokens, std::vector<Key> more = {}) {
  std::vector<Key> keys = {I64(0, 6, 5000000011), {0, 14, 4, 123400}, I64(0, 18, 5000000022), {0, 26, 4, 123500},
                           {0, 64, 4, 223450},    {0, 98, 4, 323450}};
  for (int i = 0; i < static_cast<int>(tokens.size()); ++i) {
    keys.push_back({i, 0, 4, tokens[i]});
    keys.push_back({i, 30, 4, 123450 + 1000 * i});
  }
  keys.insert(keys.end(), more.begin(), more.end());
  return keys;
}
const std::vector<Cell> kWatch34Cells = {
    {4, 1, "123400"}, {4, 2, "123500"}, {5, 1, "5000000011"}, {5, 2, "5000000022"}, {6, 1, "123450"}};

// Market by price with 16-byte depth entries: both records reported (book
// type 1 at 4, trading status 2 at 6), record 0 with every field the view
// shows.
std::vector<Key> Mbp(std::int32_t watched, std::int32_t other) {
  return {{0, 0, 4, watched},      {0, 4, 2, 1},          {0, 6, 2, 2},           I64(0, 8, 5100000123),
          {0, 16, 4, 250050},      {0, 26, 4, 85},        {0, 30, 4, 1474600500}, I64(0, 60, 5100001001),
          {0, 68, 4, 250000},      I64(0, 140, 5100006006), {0, 148, 4, 250100},  I64(0, 224, 9300000001),
          I64(0, 232, 9400000002), {1, 0, 4, other},      {1, 4, 2, 1},           {1, 6, 2, 2},
          {1, 16, 4, 260070}};
}
const std::vector<Cell> kMbpCells = {{4, 1, "250000"},     {4, 2, "250100"},    {5, 1, "5100001001"},
                                     {5, 2, "5100006006"}, {6, 1, "250050"},    {6, 2, "85"},
                                     {7, 1, "5100000123"}, {7, 2, "1474600500"}};
std::vector<Cell> WithRow8(std::vector<Cell> cells) {
  cells.insert(cells.end(), {{8, 1, "9300000001"}, {8, 2, "9400000002"}});
  return cells;
}

// Market by price records up to the depth: token, book type, trading status,
// volume traded today (8), last traded price, then (20, 21 as received) net
// change, last trade quantity, last trade time, average price.
const Fields kMbpHead = {{0, 4}, {4, 2}, {6, 2}, {8, 8}, {16, 4}, {22, 4}, {26, 4}, {30, 4}, {34, 4}};
// After the depth: total buy and sell flags and quantities (8 each), the
// indicator at 240 as received, closing, open, high and low price.
const Fields kMbpTail = {{220, 2}, {222, 2}, {224, 8}, {232, 8}, {242, 4}, {246, 4}, {250, 4}, {254, 4}};

// One row per form of today's wire: every record slot filled, NoOfRecords at
// capacity, CM tokens above 65535 so that a 2-byte token read shows.
const std::vector<Case>& TodayCases() {
  static const std::vector<Case> cases = {
      {"CM 7201 market watch, 4 x 106", {1}, 7201, 466, 472, 4, 106,
       Join({{{0, 4}}, Market34(4), Market34(38), Market34(72)}), Watch34({2885, 70001, 70002, 70003}),
       {2885, 70001}, ",2885|123450,70001|124450,70002|125450,70003|126450", ",2885|123450,70001|124450",
       kWatch34Cells},
      {"CM 18703 ticker, 28 x 18", {1}, 18703, 546, 552, 28, 18, {{0, 4}, {4, 2}, {6, 4}, {10, 4}, {14, 4}},
       {{0, 0, 4, 2885}, {0, 4, 2, 1}, {0, 6, 4, 187650}, {0, 10, 4, 6543}, {1, 0, 4, 70011}, {1, 4, 2, 2},
        {1, 6, 4, 55555}, {2, 0, 4, 70012}, {2, 4, 2, 1}, {2, 6, 4, 77777}, {27, 0, 4, 70013}, {27, 4, 2, 1},
        {27, 6, 4, 88888}},
       {2885, 70013}, ",2885|187650,70012|77777,70013|88888", ",2885|187650,70013|88888",
       {{6, 1, "187650"}, {6, 2, "6543"}}},
      {"CM 7208 market by price, 2 x 262", {1}, 7208, 566, 572, 2, 262,
       Join({kMbpHead, {{38, 2}, {40, 2}, {42, 2}, {44, 4}, {48, 4}, {52, 4}, {56, 4}}, Depth16(60), kMbpTail,
             {{258, 4}}}),
       Mbp(2885, 70021), {2885}, ",2885|250050,70021|260070", ",2885|250050", WithRow8(kMbpCells)},
      {"CM 18720 security master change", {1}, 18720, 260, 0, 0, 0, {},
       {{-1, 38, 4, 70044}, {-1, 42, 10, 0, "TATAMOTORS"}, {-1, 52, 2, 0, "BE"}}, {}, "",
       ",70044|1:70044:TATAMOTORS:0:0:BE", {}},

      {"FO 17201 market watch, 5 x 90", {2}, 17201, 492, 498, 5, 90,
       Join({{{0, 4}}, Market(4), Market(30), Market(56), {{82, 8}}}),
       {{0, 0, 4, 38665}, {0, 6, 4, 3100}, {0, 10, 4, 158800}, {0, 14, 4, 3200}, {0, 18, 4, 159000},
        {0, 22, 4, 158900}, {0, 48, 4, 258900}, {0, 74, 4, 358900}, I64(0, 82, 9000000005), {1, 0, 4, 43521},
        {1, 22, 4, 161000}, {2, 0, 4, 50001}, {2, 22, 4, 200100}, {3, 0, 4, 50002}, {3, 22, 4, 200200},
        {4, 0, 4, 50003}, {4, 22, 4, 200300}},
       {38665, 43521}, ",38665|158900,43521|161000,50001|200100,50002|200200,50003|200300",
       ",38665|158900,43521|161000",
       {{4, 1, "158800"}, {4, 2, "159000"}, {5, 1, "3100"}, {5, 2, "3200"}, {6, 1, "158900"}}},
      {"FO 7201 market watch, 4 x 114", {2}, 7201, 498, 504, 4, 114,
       Join({{{0, 4}}, Market34(4), Market34(38), Market34(72), {{106, 8}}}),
       Watch34({38665, 43521, 50001, 50002}, {I64(0, 106, 9000000006)}), {38665, 43521},
       ",38665|123450,43521|124450,50001|125450,50002|126450", ",38665|123450,43521|124450", kWatch34Cells},
      {"FO 17202 ticker, 12 x 38", {2}, 17202, 498, 504, 12, 38,
       {{0, 4}, {4, 2}, {6, 4}, {10, 4}, {14, 8}, {22, 8}, {30, 8}},
       {{0, 0, 4, 38665}, {0, 4, 2, 1}, {0, 6, 4, 301500}, {0, 10, 4, 650}, I64(0, 14, 9000000101),
        I64(0, 22, 9000000202), I64(0, 30, 9000000303), {1, 0, 4, 43521}, {1, 4, 2, 2}, {1, 6, 4, 302000},
        {2, 0, 4, 50011}, {2, 4, 2, 1}, {2, 6, 4, 303300}, {11, 0, 4, 50012}, {11, 4, 2, 1}, {11, 6, 4, 304400}},
       {38665, 43521}, ",38665|301500,50011|303300,50012|304400", ",38665|301500",
       {{6, 1, "301500"}, {6, 2, "650"}}},
      {"FO 17208 market by price, 2 x 258", {2}, 17208, 558, 564, 2, 258,
       Join({kMbpHead, {{52, 8}}, Depth16(60), kMbpTail}),  // 38 to 51 reserved, as received
       [] {
         auto keys = Mbp(38665, 50021);
         keys.push_back(I64(0, 52, 13000000004));
         return keys;
       }(),
       {38665}, ",38665|250050,50021|260070", ",38665|250050", kMbpCells},
      {"FO 17211 spread market by price", {2}, 17211, 248, 254, 0, 0,
       Join({{{38, 4}, {42, 4}, {46, 2}, {48, 2}, {50, 4}, {54, 8}, {62, 8}}, Levels14(70), Levels14(140),
             {{210, 8}, {218, 8}, {226, 4}, {230, 4}, {234, 4}, {238, 4}, {242, 4}}}),
       {{-1, 38, 4, 43600}, {-1, 42, 4, 43601}, {-1, 46, 2, 5}, {-1, 48, 2, 5}, I64(-1, 54, 5500000001),
        F64(-1, 62, 1234567890), I64(-1, 72, 6100000000), I64(-1, 142, 6200000000), F64(-1, 210, 8800000000),
        F64(-1, 218, 8900000000)},
       {}, "", "", {}},
      // 39 records of token and open interest (8) from 38, counted by ErrorCode; nothing leaves.
      {"FO 17130 underlying open interest", {2}, 17130, 508, 0, 0, 0, {}, {}, {}, "", "", {}, "", 39},
  };
  return cases;
}

TEST(NseGolden, EveryFormOfTodaysWireBehavesAsItsClassicTwin) {
  for (const Case& c : TodayCases()) {
    for (int segment : c.segments) Expect(c, segment, Wire(c, segment), Twin(c.code));
  }
  // The classic forms of the codes that now have two, at the MessageLength
  // they carry on the wire (the classic rows give 2 less), still decode as
  // before.
  for (Case c : Cases()) {
    if (c.code != 7201 && c.code != 7208) continue;
    c.length += 2;
    for (int segment : c.segments) Expect(c, segment, Wire(c, segment));
  }
}

// A dump as printed with the worked messages: "hNNN" labels (checked against
// the bytes read so far), 32-bit hex words, and "+ N zero bytes" at the end.
Bytes Dump(const std::string& text) {
  Bytes d;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    if (word[0] == 'h') {
      EXPECT_EQ(std::stoul(word.substr(1)), d.b.size()) << "label " << word;
    } else if (word == "+") {
      std::size_t zeros = 0;
      in >> zeros >> word >> word;
      d.b.resize(d.b.size() + zeros);
    } else {
      for (std::size_t i = 0; i + 1 < word.size(); i += 2) {
        d.b.push_back(static_cast<std::uint8_t>(std::stoi(word.substr(i, 2), nullptr, 16)));
      }
    }
  }
  return d;
}

struct Example {
  const char* name;
  int segment;
  const char* dump;  // from BcastHeader byte 0, MessageLength bytes
  std::vector<std::int32_t> subscribed;
  std::string all;
  std::string sub;
  std::vector<Cell> cells;
};

// Worked messages of today's forms, typed byte for byte: one record (at
// header byte 42) or one body, the header of every one the same (LogTime
// 1474600000, BCSeqNo 123456, stamps 11..88, machine 3), the later slots zero.
const std::vector<Example>& Examples() {
  static const std::vector<Cell> kMbpExampleCells = {
      {4, 1, "123400"}, {4, 2, "123500"}, {5, 1, "5000001001"}, {5, 2, "5000006006"},
      {6, 1, "123450"}, {6, 2, "75"},     {7, 1, "5000000123"}, {7, 2, "1474600123"}};
  static const std::vector<Cell> kWatchExampleCells = {
      {4, 1, "123400"}, {4, 2, "123500"}, {5, 1, "5000000001"}, {5, 2, "5000000002"}, {6, 1, "123450"}};
  static const std::vector<Example> examples = {
      {"CM 7201 (466)", 1, R"(
h000 00000000 57e49c40 20201c21 00000001 e2400000 00001122 33445566 77880000
h032 00000000 000301d2 00010000 0b458000 00000001 2a05f201 0001e208 00000001
h064 2a05f202 0001e26c 0001e23a 57e49c41 40000000 000165a0 bc010003 68a80000
h096 000165a0 bc020003 690c0003 68da57e4 9c422000 00000001 a13b8601 0004ef48
h128 00000001 a13b8602 0004efac 0004ef7a 57e49c43      + 318 zero bytes
)", {2885}, ",2885|123450", ",2885|123450", kWatchExampleCells},
      {"CM 18703 (546)", 1, R"(
h000 00000000 57e49c40 2020490f 00000001 e2400000 00001122 33445566 77880000
h032 00000000 00030222 00010000 0b450001 000181cd 000010e1 002655d9   + 486 zero bytes
)", {2885}, ",2885|98765", ",2885|98765", {{6, 1, "98765"}, {6, 2, "4321"}}},
      {"CM 7208 (566)", 1, R"(
h000 00000000 57e49c40 20201c28 00000001 e2400000 00001122 33445566 77880000
h032 00000000 00030236 00010000 0b450001 00020000 00012a05 f27b0001 e23a2b00
h064 00000096 0000004b 57e49cbb 0001e1a4 000c0003 00040001 b1fc0000 00de0001
h096 b2600000 014d0000 00012a05 f5e90001 e208000a 00000000 00012a05 f9d20001
h128 e203000b 00000000 00012a05 fdbb0001 e1fe000c 00000000 00012a06 01a40001
h160 e1f9000d 00000000 00012a06 058d0001 e1f4000e 00000000 00012a06 09760001
h192 e26c000f 00000000 00012a06 0d5f0001 e2710010 00000000 00012a06 11480001
h224 e2760011 00000000 00012a06 15310001 e27b0012 00000000 00012a06 191a0001
h256 e2800013 00000000 00010000 00021e66 fb010000 0002245c dc02a000 0001dc90
h288 0001de84 0001e460 0001da9c 0001e45f      + 262 zero bytes
)", {2885}, ",2885|123450", ",2885|123450",
       [] {
         auto cells = kMbpExampleCells;
         cells.insert(cells.end(), {{8, 1, "9100000001"}, {8, 2, "9200000002"}});
         return cells;
       }()},
      // Not subscribed: the token must be new to the map.
      {"CM 18720 (260)", 1, R"(
h000 00000000 57e49c40 52454920 00000001 e2400000 00001122 33445566 77880000
h032 00000000 00030104 00000b45 52454c49 414e4345 20204551 00000001 420934c9
h064 29d00000 00010029 31313030 2e30302d 31333030 2e303020 20202000 80000002
h096 80000002 80000002 80000003 80000001 80000006 00070000 00640000 00650000
h128 00660000 00010000 000a5245 4c49414e 43452049 4e445553 54524945 53204c54
h160 44202000 00000067 00000068 00000069 0000006a 0000006b 0000006c 0000006d
h192 e0000000 006e0000 006f0100 57e49d08 4e52454d 41524b20 20202020 20202020
h224 20202020 20202020 20200000 03e8494e 45303032 41303130 31380000 00050000
h256 00060000
)", {}, "", ",2885|1:2885:RELIANCE  :0:0:EQ", {}},
      {"FO 17201 (492)", 2, R"(
h000 00000000 57e49c40 20204331 00000001 e2400000 00001122 33445566 77880000
h032 00000000 000301ec 00010000 97098000 0000c351 0001e208 0000c352 0001e26c
h064 0001e23a 57e49c41 40000000 ea610003 68a80000 ea620003 690c0003 68da57e4
h096 9c422000 00011171 0004ef48 00011172 0004efac 0004ef7a 57e49c43 00000002
h128 18711a05      + 360 zero bytes
)", {38665}, ",38665|123450", ",38665|123450",
       {{4, 1, "123400"}, {4, 2, "123500"}, {5, 1, "50001"}, {5, 2, "50002"}, {6, 1, "123450"}}},
      {"FO 7201 (498)", 2, R"(
h000 00000000 57e49c40 20201c21 00000001 e2400000 00001122 33445566 77880000
h032 00000000 000301f2 00010000 97098000 00000001 2a05f201 0001e208 00000001
h064 2a05f202 0001e26c 0001e23a 57e49c41 40000000 000165a0 bc010003 68a80000
h096 000165a0 bc020003 690c0003 68da57e4 9c422000 00000001 a13b8601 0004ef48
h128 00000001 a13b8602 0004efac 0004ef7a 57e49c43 00000002 18711a05   + 342 zero bytes
)", {38665}, ",38665|123450", ",38665|123450", kWatchExampleCells},
      {"FO 17202 (498)", 2, R"(
h000 00000000 57e49c40 20204332 00000001 e2400000 00001122 33445566 77880000
h032 00000000 000301f2 00010000 97090001 000181cd 000010e1 00000002 18711a05
h064 00000002 1e66fb06 00000002 127b3907      + 418 zero bytes
)", {38665}, ",38665|98765", ",38665|98765", {{6, 1, "98765"}, {6, 2, "4321"}}},
      {"FO 17208 (558)", 2, R"(
h000 00000000 57e49c40 20204338 00000001 e2400000 00001122 33445566 77880000
h032 00000000 0003022e 00010000 97090001 00020000 00012a05 f27b0001 e23a2b00
h064 00000096 0000004b 57e49cbb 0001e1a4 eeeeeeee eeeeeeee eeeeeeee eeee0000
h096 000306dc 42040000 00012a05 f5e90001 e208000a 00000000 00012a05 f9d20001
h128 e203000b 00000000 00012a05 fdbb0001 e1fe000c 00000000 00012a06 01a40001
h160 e1f9000d 00000000 00012a06 058d0001 e1f4000e 00000000 00012a06 09760001
h192 e26c000f 00000000 00012a06 0d5f0001 e2710010 00000000 00012a06 11480001
h224 e2760011 00000000 00012a06 15310001 e27b0012 00000000 00012a06 191a0001
h256 e2800013 00000000 00010000 00021e66 fb010000 0002245c dc02a000 0001dc90
h288 0001de84 0001e460 0001da9c      + 258 zero bytes
)", {38665}, ",38665|123450", ",38665|123450", kMbpExampleCells},
      {"FO 17211 (248)", 2, R"(
h000 00000000 57e49c40 2020433b 00000001 e2400000 00001122 33445566 77880000
h032 00000000 000300f8 00009709 0000970a 00050005 57e49d6c 00000001 47d35701
h064 41d26580 b4a00000 00010000 00016b96 9d00ffff ffce0002 00000001 6b969d01
h096 ffffffcf 00030000 00016b96 9d02ffff ffd00004 00000001 6b969d03 ffffffd1
h128 00050000 00016b96 9d04ffff ffd2000b 00000001 718c7e00 0000003c 000c0000
h160 0001718c 7e010000 003d000d 00000001 718c7e02 0000003e 000e0000 0001718c
h192 7e030000 003f000f 00000001 718c7e04 00000040 4200642a c0000000 420093d9
h224 c8000000 00000019 00000028 fffffff1 0000001e 57e49d6d
)", {}, "", "", {}},
      {"FO 17130 (508)", 2, R"(
h000 00000000 57e49c40 202042ea 00010001 e2400000 00001122 33445566 77880000
h032 00000000 000301fc 00006590 00000002 4cb016ea      + 456 zero bytes
)", {}, "", "", {}},
  };
  return examples;
}

TEST(NseGolden, WorkedMessagesOfTodaysWireGiveTheirStatedOutput) {
  for (const Example& e : Examples()) {
    SCOPED_TRACE(e.name);
    const Bytes wire = Dump(e.dump);
    ASSERT_GE(wire.b.size(), 40u);
    const int code = (wire.b[10] << 8) | wire.b[11];
    const int length = (wire.b[38] << 8) | wire.b[39];
    ASSERT_EQ(wire.b.size(), static_cast<std::size_t>(length)) << "the dump is one whole message";
    // The row of the same form gives the packet length and the converted fields.
    const Case* row = nullptr;
    for (const Case& c : TodayCases()) {
      if (c.code == code && c.length == length && c.segments[0] == e.segment) row = &c;
    }
    ASSERT_NE(row, nullptr) << "no row for code " << code << ", length " << length;
    Case c = *row;
    c.name = e.name;
    c.subscribed = e.subscribed;
    c.all = e.all;
    c.sub = e.sub;
    c.cells = e.cells;
    Expect(c, e.segment, wire, Twin(code));
  }
}

}  // namespace
}  // namespace fh::golden
