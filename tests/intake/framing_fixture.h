// What the framing tests share: the three lanes as the exchange's tables give
// them, a decoder that records what it was handed, and framing from an
// exact-size heap copy so AddressSanitizer sees any access past the end.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nse/decoder_entry.h"
#include "intake/framing.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "support/nse_datagram.h"

namespace fh::testing {

// One segment's framing; sizes and names typed from the tables, not from the
// framing's own constants.
struct Lane {
  const char* name;  // "CM", "FO", "CD"
  int seg;           // ExgSeg 1, 2, 3
  std::uint8_t netId;
  std::uint8_t otherNetId;
  const char* notExpected;  // the wrong-segment line, without the net id byte
  int outputSize;           // decompression buffer
  int dumpStep;             // hex dump: every byte (CM) or every second one
};

inline const Lane kCmLane{"CM", 1, 4, 2, "FH : CM : Not Expected FO in CM mcast cnet=", 5120, 1};
inline const Lane kFoLane{"FO", 2, 2, 4, "FH : FO : Not Expected CM in FO mcast cnet=", 1024, 2};
inline const Lane kCdLane{"CD", 3, 6, 4, "FH : CD : Not Expected CM in CD mcast cnet=", 1024, 2};

inline std::string LaneName(const ::testing::TestParamInfo<Lane>& info) { return info.param.name; }

// Frames an exact-size heap copy of datagram through seg's framing; returns
// the copy as the framing left it (CM converts in place).
inline Bytes FrameAs(Framing& framing, int seg, const Bytes& datagram) {
  const std::size_t n = datagram.size();
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n == 0 ? 1 : n]);
  std::copy(datagram.begin(), datagram.end(), copy.get());
  const int len = static_cast<int>(n);
  int rc = -1;
  switch (seg) {
    case 1: rc = framing.FrameCmDatagram(copy.get(), len); break;
    case 2: rc = framing.FrameFoDatagram(copy.get(), len); break;
    case 3: rc = framing.FrameCdDatagram(copy.get(), len); break;
  }
  EXPECT_EQ(rc, 0);
  return Bytes(copy.get(), copy.get() + n);
}

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
