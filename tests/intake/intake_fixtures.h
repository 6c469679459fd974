// Builders and fakes for the intake tests: one builder for the plain packet
// (8 leading bytes, BcastHeader, body), one for the datagram, the LZO1Z
// compressor the exchange uses, a feed context of fresh objects, a decoder
// that records what it was handed, and a program exit that records the code.
#pragma once

#include <lzo/lzo1z.h>
#include <lzo/lzoconf.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "feedstate/feed_context.h"
#include "nse/decoder_entry.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace fh::testing {

using Bytes = std::vector<std::uint8_t>;

// A plain packet as the exchange sends it: 8 leading bytes, the 40-byte
// BcastHeader (big-endian) and msgLen - 40 body bytes. bodyBytes overrides the
// body size (to make packets that lie about their length).
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

// A BroadcastPacket: net id, one unread byte, noOfPackets (counted unless set),
// then the packets.
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

class ExitRecorder final : public ProgramExit {
 public:
  void Exit(int code) override {
    std::lock_guard lock(mutex_);
    codes_.push_back(code);
  }
  std::vector<int> Codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int> codes_;
};

class NoMessageBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view) override {}
};

// Fresh shared state for one test.
struct TestFeed {
  FeedHandlerOptions options;
  LogList log{1000};
  CounterGrid grid;
  SegmentFiles files;
  FilePlaces places;
  InstancePorts ports;
  NoMessageBoxes boxes;
  ExitRecorder exit;
  FeedContext ctx{options, log, grid, files, places, ports, boxes, exit};

  TestFeed() { grid.LayOut(); }
};

// What one decoder call was handed.
struct DecodedMessage {
  int transactionCode;
  int messageLength;
  int logTime;
  int errorCode;
  int length;
  Bytes bytes;  // message[-2 .. length-1]
};

// A decoder that copies every byte it may read (so a sanitizer sees any read
// beyond the framing's memory) and writes one byte in place at the end.
class RecordingDecoder {
 public:
  DecoderEntry Entry() { return DecoderEntry{&RecordingDecoder::Decode, this}; }

  std::vector<DecodedMessage> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }

 private:
  static void Decode(void* self, std::uint8_t* message, int length) {
    auto* me = static_cast<RecordingDecoder*>(self);
    DecodedMessage d{Load16(message + nse::header::kTransactionCode), Load16(message + nse::header::kMessageLength),
                     Load32(message + nse::header::kLogTime), Load16(message + nse::header::kErrorCode), length, {}};
    if (length > 0) {
      d.bytes.assign(message - 2, message + length);
      volatile std::uint8_t* last = message + length - 1;  // the decoder may write in place up to length
      *last = *last;
    }
    std::lock_guard lock(me->mutex_);
    me->calls_.push_back(std::move(d));
  }

  mutable std::mutex mutex_;
  std::vector<DecodedMessage> calls_;
};

}  // namespace fh::testing
