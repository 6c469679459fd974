// Test helpers for the NSE decoders: a recording BridgeOutput, fresh feed
// state, and one message builder that lays down wire messages (big-endian)
// field by field from the layout names, together with the image the decoder
// should leave after converting (converted fields in host order).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "distribution/bridge_output.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "nse/decoder_support.h"
#include "nse/layouts.h"
#include "support/test_dir.h"

namespace fh::nse::testing {

// Records everything the decoders hand over, in order. SendDeltaSubscribed
// behaves as the transport does: it puts the segment number in front and
// copies the prefixed line back into the caller's buffer.
class RecordingOutput final : public BridgeOutput {
 public:
  struct Event {
    enum Kind { kPacket, kAll, kSubscribed } kind;
    int segment;
    std::string bytes;  // packet bytes, or the line as sent
  };

  bool connected = true;
  std::vector<Event> events;

  bool BridgeConnected() const override { return connected; }
  int SendToBridges(int segment, int length, const std::uint8_t* packet) override {
    events.push_back({Event::kPacket, segment, std::string(reinterpret_cast<const char*>(packet), length)});
    return connected ? 1 : 0;
  }
  int SendDeltaAll(int segment, const char* text) override {
    events.push_back({Event::kAll, segment, text});
    return 0;
  }
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override {
    std::string line = std::to_string(segment) + text;
    EXPECT_LT(line.size(), capacity) << "the prefixed line must fit the caller's buffer";
    if (line.size() < capacity) std::memcpy(text, line.c_str(), line.size() + 1);
    events.push_back({Event::kSubscribed, segment, line});
    return 0;
  }

  std::vector<std::string> Of(Event::Kind kind) const {
    std::vector<std::string> out;
    for (const Event& e : events) {
      if (e.kind == kind) out.push_back(e.bytes);
    }
    return out;
  }
  std::vector<std::string> Packets() const { return Of(Event::kPacket); }
  std::vector<std::string> AllLines() const { return Of(Event::kAll); }
  std::vector<std::string> SubscribedLines() const { return Of(Event::kSubscribed); }
};

class NullMessageBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view) override {}
};
class RecordingExit final : public ProgramExit {
 public:
  void Exit(int code) override { codes.push_back(code); }
  std::vector<int> codes;
};

// Fresh feed state for one test: the grid laid out, files in a temporary
// folder that also stands for the system drive.
struct Feed {
  fh::testing::TempDir dir;
  FeedHandlerOptions options;
  LogList log;
  CounterGrid grid;
  SegmentFiles files;
  FilePlaces places{dir.path(), dir.path()};
  InstancePorts ports;
  NullMessageBoxes boxes;
  RecordingExit exit;
  FeedContext context{options, log, grid, files, places, ports, boxes, exit};
  InstrumentMap instruments;
  RecordingOutput out;
  IndustryIndexCounters industryIndex;

  Feed() { grid.LayOut(); }

  // The grid cell (row, col) of the watched-instrument view.
  std::string Cell(int row, int col) const { return grid.CellText(row, col); }
  // The cell of the row labelled with code, in column col.
  std::string CounterCell(int code, int col) const {
    for (int r = 1; r < grid.Rows(); ++r) {
      if (grid.CellText(r, 0) == std::to_string(code)) return grid.CellText(r, col);
    }
    return "(no row)";
  }
  void Subscribe(int segment, std::int32_t token) {
    char key[InstrumentMap::kKeySize];
    const std::size_t n = InstrumentMap::FormatKey(key, segment, token);
    instruments.FindOrCreate(std::string_view(key, n), token, "")->subscribed = 1;
  }
};

// One wire message, built field by field. Wire() is what the framing hands
// the decoder (BcastHeader fields the framing converts already in host order,
// everything else big-endian); Host() is the same message after the decoder's
// conversion of the fields set through the converted setters.
class MessageBuilder {
 public:
  static constexpr int kSize = 1024;

  explicit MessageBuilder(int transactionCode, int messageLength = 0) {
    // The message address lies 2 bytes into BcastHeader; the two bytes before
    // it are not part of what a decoder is handed.
    SetHeader16(header::kTransactionCode, static_cast<std::int16_t>(transactionCode));
    SetHeader16(header::kMessageLength, static_cast<std::int16_t>(messageLength));
    SetHeader32(header::kLogTime, 0x01020304);
    for (int i = 0; i < 2; ++i) Raw8(header::kAlphaChar + i, static_cast<std::uint8_t>('A' + i));
    for (int i = 0; i < 8; ++i) {
      Raw8(header::kReserved2 + i, static_cast<std::uint8_t>(0x10 + i));
      Raw8(header::kTimeStamp1 + i, static_cast<std::uint8_t>(0x20 + i));
      Raw8(header::kTimeStamp2 + i, static_cast<std::uint8_t>(0x30 + i));
    }
    Raw8(header::kReserved, 0xAB);
    Raw8(header::kReserved + 1, 0xCD);
  }

  // Header fields the framing has converted: host order in both images.
  void SetHeader16(int at, std::int16_t v) { Store16(wire_ + at, v); Store16(host_ + at, v); }
  void SetHeader32(int at, std::int32_t v) { Store32(wire_ + at, v); Store32(host_ + at, v); }
  void ErrorCode(int v) { SetHeader16(header::kErrorCode, static_cast<std::int16_t>(v)); }

  // Fields the decoder converts: big-endian on the wire, host order after.
  void C16(int at, std::int16_t v) { StoreBe16(wire_ + at, v); Store16(host_ + at, v); }
  void C32(int at, std::int32_t v) { StoreBe32(wire_ + at, v); Store32(host_ + at, v); }
  void CDouble(int at, double v) { StoreBeDouble(wire_ + at, v); std::memcpy(host_ + at, &v, 8); }
  // Bytes the decoder leaves as they are.
  void Raw8(int at, std::uint8_t v) { wire_[at] = v; host_[at] = v; }
  void Text(int at, const std::string& text, int width) {
    for (int i = 0; i < width; ++i) Raw8(at + i, i < static_cast<int>(text.size()) ? text[i] : ' ');
  }
  // Bytes set on the wire only (for malformed input).
  void WireByte(int at, std::uint8_t v) { wire_[at] = v; }

  void NoOfRecords(int n) { C16(records::kNoOfRecords, static_cast<std::int16_t>(n)); }
  static int RecordAt(int i, int recordSize) { return records::kRecordsAt + i * recordSize; }

  std::vector<std::uint8_t> Wire(int length) const { return std::vector<std::uint8_t>(wire_, wire_ + length); }
  const std::uint8_t* HostBytes() const { return host_; }
  std::uint8_t* WireBytes() { return wire_; }

  // The ForwardedPacket a decoder should build from this message.
  std::string ExpectedPacket(int segmentCode, int divisor, int packetLength) const {
    std::uint8_t packet[forwarded::kBufferSize] = {};
    const int n = BuildForwardedHeader(packet, host_, segmentCode, divisor,
                                       packetLength - forwarded::kHeaderSize);
    EXPECT_EQ(n, packetLength);
    std::memcpy(packet + forwarded::kBodyAt, host_ + header::kBodyAt,
                static_cast<std::size_t>(packetLength - forwarded::kHeaderSize));
    return std::string(reinterpret_cast<const char*>(packet), packetLength);
  }

 private:
  std::uint8_t wire_[kSize] = {};
  std::uint8_t host_[kSize] = {};
};

// A caller's buffer of exactly length bytes (on the heap, so AddressSanitizer
// sees any read past it) followed by a marker byte that no decoder may touch.
class MarkedBuffer {
 public:
  static constexpr std::uint8_t kMarker = 0xA5;

  explicit MarkedBuffer(const std::vector<std::uint8_t>& bytes)
      : length_(static_cast<int>(bytes.size())), bytes_(new std::uint8_t[bytes.size() + 1]) {
    if (!bytes.empty()) std::memcpy(bytes_.get(), bytes.data(), bytes.size());
    bytes_[bytes.size()] = kMarker;
  }
  std::uint8_t* data() { return bytes_.get(); }
  int length() const { return length_; }
  bool MarkerIntact() const { return bytes_[length_] == kMarker; }
  std::vector<std::uint8_t> Content() const { return std::vector<std::uint8_t>(bytes_.get(), bytes_.get() + length_); }

 private:
  int length_;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

}  // namespace fh::nse::testing
