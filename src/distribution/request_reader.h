// RequestReader: the subscription requests a Bridge writes on its connection,
// "segment," then "token|", back to back, with no other framing.
//
// Bytes are fed one at a time as they arrive, however the stream was cut into
// receives. Each field is kept in a 512-byte buffer; a field of more than 511
// characters does not fit and is reported as kOverflow, after which the
// connection is to be closed.
//
// Thread safety: one reader per connection, used by that connection's thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fh {

// The decimal reading of a request field: leading white space, one sign, the
// digits up to the first other character; no digits give 0. Values beyond the
// 32-bit range saturate.
std::int32_t ReadRequestNumber(const char* text);

class RequestReader {
 public:
  static constexpr std::size_t kFieldSize = 512;
  static constexpr char kSegmentEnd = ',';
  static constexpr char kTokenEnd = '|';

  enum class Event {
    kNone,         // byte taken, field not finished
    kSegmentDone,  // the segment field ended: SegmentText() holds it
    kRequestDone,  // the token field ended: SegmentText() and TokenText() hold the request
    kOverflow,     // a field ran past its buffer
  };

  Event Feed(char byte);

  const char* SegmentText() const { return segment_; }
  const char* TokenText() const { return token_; }

 private:
  bool inToken_ = false;
  std::size_t length_ = 0;
  char segment_[kFieldSize] = {};
  char token_[kFieldSize] = {};
};

}  // namespace fh
