// Feed state for the NSE decoder tests: the shared FeedState with the
// instrument table, a recording output and the 7203 counters, and the three
// decoders over them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "instruments/instrument_map.h"
#include "nse/ncd_decoder.h"
#include "nse/ncm_decoder.h"
#include "nse/nfo_decoder.h"
#include "support/feed_state.h"
#include "support/nse_message.h"
#include "support/recording_output.h"

namespace fh::testing {

using Strings = std::vector<std::string>;

struct NseFeed : FeedState {
  InstrumentMap instruments;
  RecordingOutput out;
  nse::IndustryIndexCounters industryIndex;
  nse::NcmDecoder ncm{context, instruments, out, industryIndex};
  nse::NfoDecoder nfo{context, instruments, out, industryIndex};
  nse::NcdDecoder ncd{context, instruments, out};

  NseFeed() { options.bcastDelta = 1; }

  std::string Cell(int row, int col) const { return grid.CellText(row, col); }
  void Subscribe(int segment, std::int32_t token) {
    char key[InstrumentMap::kKeySize];
    const std::size_t n = InstrumentMap::FormatKey(key, segment, token);
    instruments.FindOrCreate(std::string_view(key, n), token, "")->subscribed = 1;
  }
  std::uint32_t Count(int segment, int code) const {
    return segment == 1 ? ncm.Count(code) : segment == 2 ? nfo.Count(code) : ncd.Count(code);
  }

  // Hands bytes to the segment's decoder in an exact-size heap block and
  // checks the marker byte behind it; returns the caller's buffer afterwards.
  std::vector<std::uint8_t> Decode(int segment, const std::vector<std::uint8_t>& bytes) {
    MarkedBuffer buffer(bytes);
    if (segment == 1) ncm.Decode(buffer.data(), buffer.length());
    if (segment == 2) nfo.Decode(buffer.data(), buffer.length());
    if (segment == 3) ncd.Decode(buffer.data(), buffer.length());
    EXPECT_TRUE(buffer.MarkerIntact()) << "segment " << segment;
    return buffer.Content();
  }
  // The first length bytes of m, as the framing hands them.
  std::vector<std::uint8_t> Decode(int segment, const MessageBuilder& m, int length) {
    return Decode(segment, m.Wire(length));
  }
  // All of m: as many bytes as its MessageLength says.
  std::vector<std::uint8_t> Decode(int segment, const MessageBuilder& m) { return Decode(segment, m, Length(m)); }
  static int Length(const MessageBuilder& m) { return Load16(m.HostBytes() + header::kMessageLength); }
};

}  // namespace fh::testing
