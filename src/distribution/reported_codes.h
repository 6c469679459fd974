// The list of codes a decoder has already reported as unhandled: the decimal
// text of each, followed by ",", behind the segment's name and a comma
// ("NCM,", "NFO,", "BCM,"). A code counts as reported when its text occurs
// anywhere in the list (so 191 counts once 1910 is in it). The list holds at
// most kLimit characters; when a new code no longer fits, the list stays as it
// is and the code goes unreported, so a stream of odd codes cannot flood the
// log list.
//
// Thread safety: a list belongs to one decoder and is used by the one thread
// that runs that decoder.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fh {

template <int kLimit>
class ReportedCodes {
 public:
  explicit ReportedCodes(std::string_view initial) {
    length_ = static_cast<int>(initial.size() < kLimit ? initial.size() : kLimit);
    std::memcpy(text_, initial.data(), static_cast<std::size_t>(length_));
    text_[length_] = '\0';
  }

  // True when code was not yet in the list and has now been added.
  bool Add(std::int32_t code) {
    char digits[16];
    const int n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, code).ptr - digits);
    if (Text().find(std::string_view(digits, static_cast<std::size_t>(n))) != std::string_view::npos) return false;
    if (length_ + n + 1 > kLimit) return false;  // full: the code and its comma must fit
    std::memcpy(text_ + length_, digits, static_cast<std::size_t>(n));
    length_ += n;
    text_[length_++] = ',';
    text_[length_] = '\0';
    return true;
  }

  std::string_view Text() const { return std::string_view(text_, static_cast<std::size_t>(length_)); }

 private:
  int length_ = 0;
  char text_[kLimit + 1] = {};
};

}  // namespace fh
