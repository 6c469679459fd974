// The one place the golden tests touch production code: it builds the three
// NSE decoders and the BSE decoder over fresh feed state, an instrument map
// and a recording output, and hands them messages the way the intake does.
// Everything else in tests/golden/ speaks wire bytes, delta texts and grid
// cells only, so a reshaped decoder needs changes here and nowhere else.
//
// Thread safety: one rig per test, used by the test's thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bse/bse_decoder.h"
#include "bse/bse_receiver.h"
#include "instruments/instrument_map.h"
#include "nse/ncd_decoder.h"
#include "nse/ncm_decoder.h"
#include "nse/nfo_decoder.h"
#include "support/feed_state.h"
#include "support/recording_output.h"

namespace fh::golden {

class Rig {
 public:
  Rig() {
    state.options.ctcl = 1;
    state.options.bcastDelta = 1;
    state.options.pktCounters = 1;
  }

  // Marks the instrument (segment, token) as asked for by a Bridge.
  void Subscribe(int segment, std::int32_t token) {
    const std::string key = std::to_string(segment) + "," + std::to_string(token);
    instruments.FindOrCreate(key, token, "")->subscribed = 1;
  }

  // packet: a whole plain NSE packet from BcastHeader on (40 header bytes and
  // the body), every integer big-endian as on the wire. Like the framing, the
  // rig turns LogTime (header offset 4), TransactionCode (10), ErrorCode (12)
  // and MessageLength (38) to host order and hands the segment's decoder the
  // address 2 bytes into the header with MessageLength as the length; nothing
  // past the message is readable.
  void Ncm(std::vector<std::uint8_t> packet) {
    const int length = Frame(packet);
    ncm_.Decode(packet.data() + 2, length);
  }
  void Nfo(std::vector<std::uint8_t> packet) {
    const int length = Frame(packet);
    nfo_.Decode(packet.data() + 2, length);
  }
  void Ncd(std::vector<std::uint8_t> packet) {
    const int length = Frame(packet);
    ncd_.Decode(packet.data() + 2, length);
  }
  void Nse(int segment, const std::vector<std::uint8_t>& packet) {
    if (segment == 1) Ncm(packet);
    if (segment == 2) Nfo(packet);
    if (segment == 3) Ncd(packet);
  }

  // One BSE datagram, as the BSE receiver hands it on: every block decoded
  // and forwarded.
  void Bse(const std::vector<std::uint8_t>& datagram) {
    bseHandler_.OnDatagram(datagram.data(), static_cast<int>(datagram.size()));
  }

  // Messages counted for code by the segment's decoder (1 to 4).
  std::uint32_t Count(int segment, int code) const {
    switch (segment) {
      case 1: return ncm_.Count(code);
      case 2: return nfo_.Count(code);
      case 3: return ncd_.Count(code);
      default: return bse_.Count(code);
    }
  }

  std::string Cell(int row, int col) const { return state.grid.CellText(row, col); }
  std::string IndexFile() const { return fh::testing::ReadFile(nfo_.IndexFilePath()); }
  std::string BseDebugLog() const { return fh::testing::ReadFile(state.dir.File("FH_Debuglog_BCM.txt")); }

  fh::testing::FeedState state;
  InstrumentMap instruments;
  fh::testing::RecordingOutput out;

 private:
  static void Swap(std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t width) {
    std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                 bytes.begin() + static_cast<std::ptrdiff_t>(at + width));
  }
  // Converts the four header fields; returns MessageLength, to which the
  // packet is cut (2 header bytes lie before the message address; the
  // 40-byte header always stays readable).
  static int Frame(std::vector<std::uint8_t>& packet) {
    Swap(packet, 4, 4);
    Swap(packet, 10, 2);
    Swap(packet, 12, 2);
    Swap(packet, 38, 2);
    std::int16_t length = 0;
    std::memcpy(&length, packet.data() + 38, 2);
    packet.resize(std::max<std::size_t>(40, 2 + static_cast<std::size_t>(std::max<std::int16_t>(length, 0))));
    return length;
  }

  nse::IndustryIndexCounters industryIndex_;
  nse::NcmDecoder ncm_{state.context, instruments, out, industryIndex_};
  nse::NfoDecoder nfo_{state.context, instruments, out, industryIndex_};
  nse::NcdDecoder ncd_{state.context, instruments, out};
  BseDecoder bse_{state.context, instruments, out};
  BseDatagramHandler bseHandler_{state.context, bse_, out};
};

}  // namespace fh::golden
