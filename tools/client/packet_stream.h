// The Bridge side of the feed handler's outputs: the TCP stream of
// ForwardedPackets and the BCAST DELTA lines.
//
// Thread safety: plain values; one owner each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "distribution/forwarded_packet.h"

namespace fh::tools {

// Cuts the TCP byte stream into ForwardedPackets by the packet length at
// header offset 44. A length below the 46-byte header breaks the stream: no
// packet boundary can be found after it.
class PacketStream {
 public:
  // Appends received bytes and calls onPacket(bytes, length) for every whole
  // packet. Returns false once the stream is broken.
  template <class OnPacket>
  bool Feed(const std::uint8_t* data, std::size_t n, OnPacket&& onPacket);

  bool broken() const { return broken_; }
  std::size_t pending() const { return buffer_.size(); }

 private:
  std::vector<std::uint8_t> buffer_;
  bool broken_ = false;
};

// What a Bridge sees in one packet.
struct PacketInfo {
  int exchange = 0;   // 10 NSE, 11 BSE
  int segment = 0;    // 20, 21, 22
  int code = 0;       // transaction code (NSE) or low 16 bits of MsgType (BSE)
  int length = 0;
  // NSE: what the code carries ("market by price"; null for a code the
  // client does not name) and the form the packet length tells: "classic",
  // or today's generation, "CM6" (capital market 6.x), "FO9.43" or "FO9.48";
  // "unknown" for a length no form of the code gives. Null for BSE.
  const char* name = nullptr;
  const char* form = nullptr;
  bool hasBook = false;  // market by price: best bid and ask of the first record
  int token = 0;
  int bidPrice = 0, askPrice = 0;
  long long bidQuantity = 0, askQuantity = 0;  // 8 bytes wide in today's forms
};

// Reads the header (and, for market by price, the first record) of a whole
// packet of `length` bytes; never reads past it. An NSE packet's form is
// told by its length: the classic forms are forwarded at fixed lengths,
// today's as long as the message (MessageLength + 6), whole or trimmed to
// its records.
PacketInfo DescribePacket(const std::uint8_t* packet, int length);

// One line, for example
// "pkt NSE seg=20 code=7208 (market by price, CM6) len=572 token=2885 bid=100x1200 ask=..."
std::string FormatPacket(const PacketInfo& info);

// "NSE CM 7208 market by price" or "BSE 20 2020" for a summary's kind key
// ("EXCH SEG CODE").
std::string KindName(const std::string& kind);

// One item of a delta line: ",KEY|VALUE". A change item has a numeric
// value; a new-instrument item's value holds colons ("1:22:ABC ...:0:0:EQ").
struct DeltaItem {
  std::string_view key;
  std::string_view value;
  bool isChange = false;  // value is a plain signed decimal
  long long number = 0;   // the value when isChange
};

// Splits a delta line into items. Lines from port 2017 carry the segment
// number before the first item (prefixed = true); *segment receives it.
// Returns false (and stops) on a line that does not follow the grammar.
bool ParseDeltaLine(std::string_view line, bool prefixed, int* segment, std::vector<DeltaItem>* items);

// What one Bridge client saw, kept for the summary and for tests.
struct ClientView {
  struct Count {
    long long packets = 0;
    long long bytes = 0;
  };
  std::map<std::string, Count> packetsByKind;  // "EXCH SEG CODE"
  std::map<std::string, Count> packetsByForm;  // "EXCH SEG CODE FORM", NSE packets
  long long packets = 0, bytes = 0;
  long long deltaLines[2] = {0, 0};  // port 2007, port 2017
  long long deltaItems = 0;
  long long newInstruments = 0;
  std::set<std::string> newKeys;  // "2017 SEG KEY" of the new-instrument items
  long long malformedLines = 0;
  // Last value per key: "2007 TOKEN" (the all-delta line has no segment) and
  // "2017 SEG KEY".
  std::map<std::string, long long> lastValue;

  void AddPacket(const PacketInfo& info);
  // Returns false for a line that does not follow the grammar.
  bool AddDeltaLine(int port, std::string_view line);
  // Text summary, one fact a line: "packets EXCH SEG CODE COUNT BYTES",
  // "form EXCH SEG CODE FORM COUNT BYTES", "last PORT KEY... VALUE",
  // "new 2017 SEG KEY", "total ..." lines.
  std::string Summary() const;
};

template <class OnPacket>
bool PacketStream::Feed(const std::uint8_t* data, std::size_t n, OnPacket&& onPacket) {
  if (broken_) return false;
  buffer_.insert(buffer_.end(), data, data + n);
  std::size_t at = 0;
  constexpr std::size_t kHeader = forwarded::kHeaderSize;
  constexpr std::size_t kLengthAt = forwarded::kPacketLength;
  while (buffer_.size() - at >= kHeader) {
    const std::uint8_t* p = buffer_.data() + at;
    const std::size_t length = static_cast<std::size_t>(p[kLengthAt]) | (static_cast<std::size_t>(p[kLengthAt + 1]) << 8);
    if (length < kHeader) {
      broken_ = true;
      break;
    }
    if (buffer_.size() - at < length) break;
    onPacket(p, static_cast<int>(length));
    at += length;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
  return !broken_;
}

}  // namespace fh::tools
