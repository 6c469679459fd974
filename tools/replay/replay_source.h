// What bin-replay reads: raw BIN recordings and pcap captures.
//
// A BIN recording is datagrams laid end to end without lengths. An NSE
// recording is cut again by walking each datagram's own structure, so its
// datagrams may have any size up to the UDP maximum; a recording of fixed-size
// datagrams (BSE, or a feed padded to 512 bytes) can also be cut at that size,
// the last record possibly shorter. A pcap capture keeps each datagram with
// its time and its original destination.
//
// Thread safety: one owner per object.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fh::tools {

// Cuts a BIN recording into records of recordSize bytes, the last one shorter
// when the file length is not a multiple. recordSize must be positive.
std::vector<std::span<const std::uint8_t>> SplitBinRecords(std::span<const std::uint8_t> file, int recordSize);

// Cuts an NSE BIN recording into its datagrams by walking each one: net id,
// a byte, the big-endian noOfPackets, then every packet's big-endian compLen
// and compLen compressed bytes (compLen > 0) or the plain packet of
// 8 + MessageLength bytes (MessageLength at its offset 46). Zero bytes after a
// datagram's last packet belong to it (a datagram padded to a fixed size; a
// datagram starts with its net id, never 0). A datagram is at most
// kMaxUdpPayload bytes.
//
// A record that does not walk (a malformed datagram, or one the file's end
// cuts) cannot be delimited for sure: it runs to the next offset at which a
// datagram of a known net id walks and is followed by another that walks, or
// by the end of the file; when none lies within kMaxUdpPayload bytes it is
// cut at 512, the exchange's datagram size. *guessed (when given) counts such
// records.
std::vector<std::span<const std::uint8_t>> SplitNseRecording(std::span<const std::uint8_t> file,
                                                             long long* guessed = nullptr);

// One UDP datagram of a capture.
struct CapturedDatagram {
  std::int64_t timeNs = 0;       // capture time
  std::uint32_t dstAddress = 0;  // host order
  int dstPort = 0;
  std::vector<std::uint8_t> payload;
};

// Reads the UDP-over-IPv4 datagrams of a pcap file (Ethernet, Linux cooked,
// raw IP or BSD loopback framing). Other frames, IP fragments and truncated
// captures are counted and skipped.
class PcapReader {
 public:
  PcapReader() = default;
  ~PcapReader();
  PcapReader(const PcapReader&) = delete;
  PcapReader& operator=(const PcapReader&) = delete;

  // False with *error set when the file cannot be read as a capture.
  bool Open(const std::string& path, std::string* error);
  // The next datagram, or nothing at the end of the capture.
  std::optional<CapturedDatagram> Next();
  long long skipped() const { return skipped_; }

 private:
  void* pcap_ = nullptr;
  int linkType_ = 0;
  long long skipped_ = 0;
};

// Parses one captured frame of the given link type into *out; false when it is
// not a whole, unfragmented UDP-over-IPv4 datagram.
bool ParseUdpFrame(int linkType, const std::uint8_t* frame, std::size_t captured, std::size_t wireLength,
                   CapturedDatagram* out);

}  // namespace fh::tools
