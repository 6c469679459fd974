// What the framing tests share: the three lanes as the exchange's tables give
// them, a decoder that records what it was handed, framing from an exact-size
// heap copy so AddressSanitizer sees any access past the end, and a fixture
// with one fresh feed per lane.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "intake/framing.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "nse/decoder_entry.h"
#include "support/feed_state.h"
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
inline const auto kLanes = ::testing::Values(kCmLane, kFoLane, kCdLane);
inline std::string LaneName(const ::testing::TestParamInfo<Lane>& info) { return info.param.name; }

// Frames an exact-size heap copy of datagram through seg's framing; returns
// the copy as the framing left it (CM converts in place).
inline Bytes FrameAs(Framing& framing, int seg, const Bytes& datagram) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[std::max<std::size_t>(datagram.size(), 1)]);
  std::copy(datagram.begin(), datagram.end(), copy.get());
  const int n = static_cast<int>(datagram.size());
  EXPECT_EQ(seg == 1 ? framing.FrameCmDatagram(copy.get(), n)
                     : seg == 2 ? framing.FrameFoDatagram(copy.get(), n) : framing.FrameCdDatagram(copy.get(), n),
            0);
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
  std::int64_t receivedAtNs;
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
  std::size_t Count() const { return Calls().size(); }

 private:
  static void Decode(void* self, std::uint8_t* message, int length, std::int64_t receivedAtNs) {
    auto* me = static_cast<RecordingDecoder*>(self);
    DecodedMessage d{Load16(message + nse::header::kTransactionCode), Load16(message + nse::header::kMessageLength),
                     Load32(message + nse::header::kLogTime), Load16(message + nse::header::kErrorCode), length, {},
                     receivedAtNs};
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

// One lane's framing over a fresh feed, its decoder recording.
class FramingLaneTest : public ::testing::TestWithParam<Lane> {
 protected:
  FramingLaneTest() { framing.SetDecoder(Seg(), decoder.Entry()); }
  Bytes Frame(const Bytes& datagram) { return FrameAs(framing, Seg(), datagram); }
  int Seg() const { return GetParam().seg; }
  std::uint8_t NetId() const { return GetParam().netId; }
  // format's first conversion is a %s for the lane name.
  template <typename... More>
  std::string Line(const char* format, More... more) const {
    char text[256];
    std::snprintf(text, sizeof text, format, GetParam().name, more...);
    return text;
  }

  FeedState feed;
  Framing framing{feed.context};
  RecordingDecoder decoder;
};

}  // namespace fh::testing
