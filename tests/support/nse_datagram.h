// NSE broadcast traffic for tests: a plain packet (8 leading bytes, the
// big-endian BcastHeader, a body), the LZO1Z compressor the exchange packs
// packets with, and a datagram builder (net id, one unread byte, noOfPackets,
// then each packet behind its compLen field).
//
// These build traffic through the layout header the code reads; tests that pin
// the layout itself type their offsets from the exchange's tables instead.
// Thread safety: Compress may be called from any thread; builders are values.
#pragma once

#include <lzo/lzo1z.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace fh::testing {

using Bytes = std::vector<std::uint8_t>;

// A plain packet as the exchange sends it: 8 leading bytes, the 40-byte
// BcastHeader and messageLength - 40 body bytes. bodyBytes overrides the body
// size (to make packets that lie about their length).
struct PlainPacket {
  std::int16_t transactionCode = 7208;
  std::int16_t messageLength = 466;
  std::int32_t logTime = 0x01020304;
  std::int16_t errorCode = 0x0506;
  std::uint8_t bodySeed = 1;
  int bodyBytes = -1;  // -1: messageLength - 40

  Bytes Build() const {
    const int body = bodyBytes >= 0 ? bodyBytes : std::max(0, messageLength - nse::header::kSize);
    Bytes p(static_cast<std::size_t>(nse::packet::kHeaderAt + nse::header::kSize + body), 0);
    for (int i = 0; i < nse::packet::kHeaderAt; ++i) p[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
    std::uint8_t* m = p.data() + nse::packet::kMessageAt;
    m[-2] = 0x11;
    m[-1] = 0x22;
    StoreBe32(m + nse::header::kLogTime, logTime);
    m[nse::header::kAlphaChar] = 'N';
    m[nse::header::kAlphaChar + 1] = 'S';
    StoreBe16(m + nse::header::kTransactionCode, transactionCode);
    StoreBe16(m + nse::header::kErrorCode, errorCode);
    StoreBe16(m + nse::header::kMessageLength, messageLength);
    // A market-by-price style body: a record count, then tokens, prices and
    // quantities that differ little from record to record.
    std::uint8_t* b = m + nse::header::kBodyAt;
    for (int i = 0; i < body; ++i) {
      const int field = i % 12;
      b[i] = field < 6 ? 0 : static_cast<std::uint8_t>(bodySeed + (i / 12) % 7 + field);
    }
    return p;
  }
};

// LZO1Z-999, as the exchange packs its packets; empty when the library fails.
inline Bytes Compress(const Bytes& plain) {
  static const bool ready = lzo_init() == LZO_E_OK;
  if (!ready) return {};
  thread_local std::vector<unsigned char> work(LZO1Z_999_MEM_COMPRESS);
  Bytes out(plain.size() + plain.size() / 16 + 64 + 3);
  lzo_uint outLen = out.size();
  if (lzo1z_999_compress(plain.data(), plain.size(), out.data(), &outLen, work.data()) != LZO_E_OK) return {};
  out.resize(outLen);
  return out;
}

// A BroadcastPacket: net id, one unread byte, noOfPackets (counted unless
// set), then the packets.
class DatagramBuilder {
 public:
  explicit DatagramBuilder(std::uint8_t netId) { bytes_ = {netId, 0x7e, 0, 0}; }

  DatagramBuilder& Compressed(const Bytes& plain) { return Raw(Compress(plain)); }
  // compLen 0 or below marks the packet as not compressed.
  DatagramBuilder& Uncompressed(const Bytes& plain, std::int16_t compLen = 0) {
    Field(compLen);
    bytes_.insert(bytes_.end(), plain.begin(), plain.end());
    ++count_;
    return *this;
  }
  // A packet of the given compressed bytes, whose compLen is their size unless set.
  DatagramBuilder& Raw(const Bytes& data, int compLen = -1) {
    Field(static_cast<std::int16_t>(compLen >= 0 ? compLen : static_cast<int>(data.size())));
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    ++count_;
    return *this;
  }
  DatagramBuilder& Packets(std::int16_t n) {
    packets_ = n;
    forced_ = true;
    return *this;
  }
  Bytes Build() const {
    Bytes b = bytes_;
    StoreBe16(b.data() + nse::datagram::kNoOfPackets, forced_ ? packets_ : static_cast<std::int16_t>(count_));
    return b;
  }

 private:
  void Field(std::int16_t v) {
    std::uint8_t f[2];
    StoreBe16(f, v);
    bytes_.insert(bytes_.end(), f, f + 2);
  }
  Bytes bytes_;
  int count_ = 0;
  std::int16_t packets_ = 0;
  bool forced_ = false;
};

}  // namespace fh::testing
