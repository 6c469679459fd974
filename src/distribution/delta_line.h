// One BCAST DELTA line of a decoded message, and the change items it carries.
// The NSE decoders fill an all-delta and a subscribed-delta line per message,
// the BSE decoder one subscribed-delta line per block.
//
// A line holds at most kLimit characters: an item that would take it past the
// limit first sends the line as it stands and starts a new one. The buffer
// has room past the limit for the segment prefix SendDeltaSubscribed puts in
// front and for the terminator. A line leaves only while BCAST DELTA is on
// (read at every send), and an empty line is never sent.
//
// Thread safety: a line belongs to one decoder and is used by the one thread
// that runs that decoder.
#pragma once

#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "distribution/bridge_output.h"

namespace fh {

// Room for any change item: a comma, a key of at most 7 characters or a
// 32-bit number, a bar, a 32-bit number and the terminator.
inline constexpr int kChangeItemSize = 32;
inline constexpr int kDecimalDigits = 11;  // a 32-bit number, sign included

// The change item ",%d|%ld" of token and value, into out (at least
// kChangeItemSize bytes, NUL-terminated); returns its length.
inline int FormatChangeItem(char* out, std::int32_t token, std::int32_t value) {
  char* p = out;
  *p++ = ',';
  p = std::to_chars(p, p + kDecimalDigits, token).ptr;
  *p++ = '|';
  p = std::to_chars(p, p + kDecimalDigits, value).ptr;
  *p = '\0';
  return static_cast<int>(p - out);
}

// The named change item ",%s|%ld": key (at most 7 characters) in place of
// the token.
inline int FormatNamedChangeItem(char* out, std::string_view key, std::int32_t value) {
  char* p = out;
  *p++ = ',';
  std::memcpy(p, key.data(), key.size());
  p += key.size();
  *p++ = '|';
  p = std::to_chars(p, p + kDecimalDigits, value).ptr;
  *p = '\0';
  return static_cast<int>(p - out);
}

class DeltaLine {
 public:
  enum class Port { kAll, kSubscribed };  // SendDeltaAll or SendDeltaSubscribed

  static constexpr int kLimit = 512;
  static constexpr int kCapacity = kLimit + 16;

  DeltaLine(BridgeOutput& out, const std::atomic<int>& bcastDelta, int segment, Port port)
      : out_(out), bcastDelta_(bcastDelta), segment_(segment), port_(port) {}
  DeltaLine(const DeltaLine&) = delete;
  DeltaLine& operator=(const DeltaLine&) = delete;

  void Clear() {
    length_ = 0;
    text_[0] = '\0';
  }

  // item: length characters, well below kLimit (a change item is shorter than
  // kChangeItemSize, a new-instrument item shorter than 100).
  void Append(const char* item, int length) {
    if (length_ + length > kLimit) Send();
    std::memcpy(text_ + length_, item, static_cast<std::size_t>(length));
    length_ += length;
    text_[length_] = '\0';
  }

  // Sends the line on its port when it is not empty and BCAST DELTA is on;
  // empty afterwards either way.
  void Send() {
    if (length_ > 0 && bcastDelta_.load(std::memory_order_relaxed) != 0) {
      if (port_ == Port::kAll) {
        out_.SendDeltaAll(segment_, text_);
      } else {
        out_.SendDeltaSubscribed(segment_, text_, sizeof text_);
      }
    }
    Clear();
  }

  std::string_view Text() const { return std::string_view(text_, static_cast<std::size_t>(length_)); }

 private:
  BridgeOutput& out_;
  const std::atomic<int>& bcastDelta_;
  const int segment_;
  const Port port_;
  int length_ = 0;
  char text_[kCapacity] = {};
};

}  // namespace fh
