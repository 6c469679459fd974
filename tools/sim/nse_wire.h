// Building NSE broadcast traffic as the exchange sends it: plain packets (8
// leading bytes, the 40-byte BcastHeader, the body; every integer big-endian)
// and datagrams of several packets, most of them LZO1Z-compressed.
//
// Offsets given to NseMessage are from the message address, as in
// nse/layouts.h; the header fields are written from nse/bcast_header.h.
// Thread safety: one owner per object.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/tool_net.h"
#include "feedstate/exg_seg.h"
#include "nse/bcast_header.h"

namespace fh::sim {

// NSE net ids of the three segments (first byte of a datagram).
using fh::kNetIdCd;
using fh::kNetIdCm;
using fh::kNetIdFo;
int NetIdOfSegment(int segment);  // 1, 2, 3 -> 4, 2, 6; anything else 0

// Bytes between the start of BcastHeader and the message address.
inline constexpr int kHeaderBeforeMessage = nse::packet::kMessageAt - nse::packet::kHeaderAt;

// The exchange's datagrams are at most 512 bytes; the simulator sends larger
// ones (up to the UDP maximum) only when asked to.
inline constexpr int kExchangeDatagramSize = 512;
using tools::kMaxUdpPayload;

class NseMessage {
 public:
  static constexpr int kMaxPlain = 1024;

  // messageLength counts the bytes from the message address (a layout's
  // kMessageLength); the header's MessageLength, which counts from the start
  // of BcastHeader, is 2 more.
  NseMessage(int transactionCode, int messageLength);

  std::uint8_t* message() { return bytes_.data() + nse::packet::kMessageAt; }
  const std::uint8_t* message() const { return bytes_.data() + nse::packet::kMessageAt; }
  int transactionCode() const { return code_; }
  int messageLength() const { return messageLength_; }

  void Put16(int offset, int value);
  void Put32(int offset, std::int32_t value);
  void Put64(int offset, std::int64_t value);
  void PutDouble(int offset, double value);
  void PutText(int offset, std::string_view text, int width);  // blank padded
  void SetLogTime(std::int32_t t);
  void SetErrorCode(int e);
  void SetAlphaChar(std::string_view two);
  // Cuts the message to messageLength bytes (never lengthens it) and
  // rewrites the header's MessageLength to match.
  void TrimTo(int messageLength);

  // The whole plain packet: 8 + MessageLength bytes.
  std::span<const std::uint8_t> plain() const { return {bytes_.data(), static_cast<std::size_t>(plainSize_)}; }

 private:
  std::array<std::uint8_t, kMaxPlain> bytes_{};
  int code_ = 0;
  int messageLength_ = 0;
  int plainSize_ = 0;
};

// Compresses with lzo1z_999_compress, the exchange's compressor.
class Lzo1zCompressor {
 public:
  Lzo1zCompressor();
  // Returns the compressed length, or 0 when out cannot hold it.
  int Compress(std::span<const std::uint8_t> in, std::uint8_t* out, int outCapacity);

 private:
  std::vector<std::uint8_t> work_;
};

// One datagram: net id, a byte not read, the big-endian packet count, then the
// packets, each a big-endian compLen and compLen compressed bytes (compLen > 0)
// or compLen 0 and the plain packet itself. maxSize is at most kMaxUdpPayload.
class DatagramBuilder {
 public:
  explicit DatagramBuilder(int netId, int maxSize = kExchangeDatagramSize);

  // Appends a packet, compressed or plain. False (datagram unchanged) when
  // it does not fit in maxSize.
  bool Add(std::span<const std::uint8_t> plain, bool compress, Lzo1zCompressor& lzo);
  // Raw appends for malformed traffic: a packet with the given compLen field
  // followed by the bytes as they stand.
  bool AddRaw(int compLen, std::span<const std::uint8_t> data);
  // Overwrites the packet count (to declare more or fewer than were added).
  void SetDeclaredPackets(int count);
  // Zero bytes after the last packet up to size (never shrinks).
  void PadTo(int size);
  void Reset();

  int packets() const { return packets_; }
  int size() const { return size_; }
  int maxSize() const { return maxSize_; }
  std::span<const std::uint8_t> bytes() const { return {bytes_.data(), static_cast<std::size_t>(size_)}; }

 private:
  int netId_;
  int maxSize_;
  std::vector<std::uint8_t> bytes_;
  int size_ = 0;
  int packets_ = 0;
};

// The send-time stamp of the latency probe: monotonic nanoseconds, host
// order, in the 8 bytes of BcastHeader's TimeStamp1, which the feed handler
// copies unconverted into each forwarded packet's header. Only uncompressed
// packets can be stamped in a built datagram (a compressed packet would have
// to be compressed again after stamping).
//
// Datagram offsets of TimeStamp1 in every uncompressed packet, in order. The
// walk stops at a packet that runs past the datagram's end.
std::vector<int> PlainStampOffsets(std::span<const std::uint8_t> datagram);

}  // namespace fh::sim
