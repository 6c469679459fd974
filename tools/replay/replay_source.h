// What bin-replay reads: raw BIN recordings and pcap captures.
//
// A BIN recording is datagrams laid end to end without lengths; its records
// can be cut again only at a fixed size (512 bytes for full-size datagrams),
// the last one possibly shorter. A pcap capture keeps each datagram with its
// time and its original destination.
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
