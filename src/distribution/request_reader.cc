#include "distribution/request_reader.h"

#include <limits>

namespace fh {

std::int32_t ReadRequestNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) value = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

RequestReader::Event RequestReader::Feed(char byte) {
  char* field = inToken_ ? token_ : segment_;
  const char end = inToken_ ? kTokenEnd : kSegmentEnd;
  if (byte == end) {
    field[length_] = '\0';
    length_ = 0;
    if (!inToken_) {
      inToken_ = true;
      return Event::kSegmentDone;
    }
    inToken_ = false;
    return Event::kRequestDone;
  }
  if (length_ + 1 >= kFieldSize) return Event::kOverflow;
  field[length_++] = byte;
  return Event::kNone;
}

}  // namespace fh
