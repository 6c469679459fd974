// Golden BSE blocks: one hand-built block per known message type, with head
// sizes, count offsets, record sizes and field offsets typed from the
// exchange's table, checked against the delta line, the debug log, the
// message counts and the forwarded packet byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "golden/golden_bytes.h"
#include "golden/golden_rig.h"

namespace fh::golden {
namespace {

// A literal value, little-endian, at an offset of record rec; a text is
// blank-padded to width. Keys of the record just past the count fill a record
// that must never be read.
struct Key {
  int rec;
  int at;
  int width;
  std::int64_t value;
  std::string text = {};
};

struct Case {
  int type;
  int head;        // H: head bytes after MsgType
  int countAt;     // N: head offset of the 16-bit record count, -1 for none
  int recordSize;  // R
  int count;       // records claimed (and, up to what fits, written)
  std::vector<Key> keys;
  std::string sub;       // the subscribed-delta line, prefix included
  std::string debugLog;  // the BSE debug log afterwards
  std::uint32_t counted = 1;
};

// 1903 and 1904 log their head and every record. A claim of 20000 records is
// read from the zeroed 4,096-byte work area as far as it goes: after MsgType
// and the 4-byte head, (4096 - 8) / 8 = 511 records of 8 bytes.
std::string DebugLog(int type) {
  std::string text = "MsgType:" + std::to_string(type) + " NoOfRecs:20000\n";
  for (int i = 0; i < 511; ++i) text += "MsgType:" + std::to_string(type) + " NoOfRecs:20000 i:" + std::to_string(i) + "\n";
  return text;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {1901, 4, 2, 32, 2, {}, "", ""},
      {1902, 52, -1, 0, 0, {}, "", ""},
      {1903, 4, 2, 8, 20000, {}, "", DebugLog(1903)},
      {1904, 4, 2, 8, 20000, {}, "", DebugLog(1904)},
      {1905, 2, -1, 0, 0, {}, "", ""},
      {1906, 8, 4, 144, 2, {}, "", ""},
      {1907, 8, -1, 0, 0, {}, "", ""},
      {1908, 10, -1, 0, 0, {}, "", ""},
      {1909, 128, -1, 0, 0, {}, "", ""},
      {1911, 12, -1, 0, 0, {}, "", ""},
      {1912, 4, 2, 36, 2, {}, "", ""},
      {1916, 20, 6, 272, 2, {}, "", ""},
      {1947, 12, 2, 32, 2, {}, "", ""},
      {1948, 12, 2, 32, 2, {}, "", ""},
      {1949, 4, 2, 24, 2, {}, "", ""},
      {2001, 28, -1, 0, 0, {}, "", ""},
      {2002, 36, -1, 0, 0, {}, "", ""},
      {2003, 36, -1, 0, 0, {}, "", ""},
      {2007, 24, 22, 152, 2, {}, "", ""},
      // Code-value records: value at 20, a 7-character code at 24.
      {2011, 24, 22, 40, 3,
       {{0, 20, 4, 3510012}, {0, 24, 7, 0, "IDXA"}, {1, 20, 4, 6100023}, {1, 24, 7, 0, "SENSEX"},
        {2, 20, 4, 4200034}, {2, 24, 7, 0, "BANKEX"}, {3, 20, 4, 999001}, {3, 24, 7, 0, "BEYOND"}},
       "4,IDXA|3510012,SENSEX|6100023,BANKEX|4200034", ""},
      {2012, 24, 22, 40, 3,
       {{0, 20, 4, 1110001}, {0, 24, 7, 0, "TECK"}, {1, 20, 4, 2220002}, {1, 24, 7, 0, "AUTO50"},
        {2, 20, 4, 3330003}, {2, 24, 7, 0, "METAL"}, {3, 20, 4, 999002}, {3, 24, 7, 0, "BEYOND"}},
       "4,TECK|1110001,AUTO50|2220002,METAL|3330003", ""},
      // Token-value records: token at 0, value at 4.
      {2014, 24, 22, 12, 3,
       {{0, 0, 4, 500112}, {0, 4, 4, 71000}, {1, 0, 4, 500113}, {1, 4, 4, 72000}, {2, 0, 4, 500114},
        {2, 4, 4, 73000}, {3, 0, 4, 500199}, {3, 4, 4, 99900}},
       "4,500112|71000,500113|72000,500114|73000", ""},
      {2016, 24, 22, 24, 2, {}, "", ""},
      {2017, 0, -1, 0, 0, {}, "", "", 0},  // neither counted nor reported
      // Token at 0, value at 36, reported only for selector A (88) 0 and
      // selector B (90) 3, 4 or 5.
      {2020, 24, 22, 264, 5,
       {{0, 0, 4, 532001}, {0, 36, 4, 81000}, {0, 88, 2, 0}, {0, 90, 2, 3},
        {1, 0, 4, 532002}, {1, 36, 4, 82000}, {1, 88, 2, 0}, {1, 90, 2, 2},
        {2, 0, 4, 532003}, {2, 36, 4, 83000}, {2, 88, 2, 1}, {2, 90, 2, 4},
        {3, 0, 4, 532004}, {3, 36, 4, 84000}, {3, 88, 2, 0}, {3, 90, 2, 4},
        {4, 0, 4, 532005}, {4, 36, 4, 85000}, {4, 88, 2, 0}, {4, 90, 2, 5},
        {5, 0, 4, 532099}, {5, 36, 4, 89900}, {5, 88, 2, 0}, {5, 90, 2, 4}},
       "4,532001|81000,532004|84000,532005|85000", ""},
      {4141, 20, 4, 72, 2, {}, "", ""},
      {4444, 4, 2, 12, 2, {}, "", ""},
  };
  return cases;
}

TEST(BseGolden, EveryMessageTypeGivesItsDeltaLineLogCountAndPacket) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE("MsgType " + std::to_string(c.type));
    // Payload: MsgType, the head (pattern, the count at N), a few records
    // (pattern, then the literal values).
    Bytes payload;
    payload.Le32(0, c.type).Fill(4, 4 + static_cast<std::size_t>(c.head), c.type);
    int written = c.countAt < 0 ? 0 : std::min(c.count, 8);
    for (const Key& k : c.keys) written = std::max(written, k.rec + 1);
    if (c.countAt >= 0) payload.Le16(4 + static_cast<std::size_t>(c.countAt), c.count);
    const std::size_t recordsAt = 4 + static_cast<std::size_t>(c.head);
    payload.Fill(recordsAt, recordsAt + static_cast<std::size_t>(written * c.recordSize), c.type + 1);
    for (const Key& k : c.keys) {
      const std::size_t at = recordsAt + static_cast<std::size_t>(k.rec * c.recordSize + k.at);
      if (k.text.empty()) {
        payload.Le(at, k.value, k.width);
      } else {
        payload.Text(at, k.text, k.width);
      }
    }
    const std::size_t length = payload.b.size();
    Bytes block;
    block.Le32(0, 0x5A5A5A5A).Le32(4, static_cast<std::int64_t>(length)).Copy(8, payload, 0, length);

    Rig rig;
    rig.Bse(block.b);

    // The block leaves whole behind a header of 11, 20, 100, the type's low
    // 16 bits in place of the transaction code, zeros and the length.
    Bytes packet(46);
    packet.Le16(0, 11).Le16(2, 20).Le16(4, 100).Le16(16, c.type & 0xFFFF).Le16(44, 46 + static_cast<std::int64_t>(length));
    packet.Copy(46, payload, 0, length);
    std::vector<std::string> want = {"packet"};
    if (!c.sub.empty()) want.insert(want.begin(), "subscribed " + c.sub);
    std::vector<std::string> got;
    for (const auto& e : rig.out.Events()) {
      EXPECT_EQ(e.segment, 4);
      if (e.kind == fh::testing::RecordingOutput::Event::kPacket) {
        got.push_back("packet");
        EXPECT_EQ(FirstDifference(packet.Str(), e.bytes), "");
      } else {
        got.push_back((e.kind == fh::testing::RecordingOutput::Event::kAll ? "all " : "subscribed ") + e.bytes);
      }
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(rig.BseDebugLog(), c.debugLog);
    EXPECT_EQ(rig.Count(4, c.type), c.counted);
  }
}

// 2003 shares the count of 2002, and 2012 that of 2011.
TEST(BseGolden, PairedTypesShareOneCount) {
  for (const auto& [type, shared] : {std::pair{2003, 2002}, std::pair{2012, 2011}}) {
    Rig rig;
    rig.Bse(Bytes(48).Le32(4, 40).Le32(8, type).b);
    EXPECT_EQ(rig.Count(4, shared), 1u) << type;
  }
}

}  // namespace
}  // namespace fh::golden
