// A byte image written at literal offsets, for golden messages and the
// packets expected from them. Offsets and widths come from the callers'
// tables; nothing here knows a layout.
//
// Thread safety: plain values, one thread at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace fh::golden {

class Bytes {
 public:
  explicit Bytes(std::size_t size = 0) : b(size) {}

  // Integers of width bytes, big-endian (wire) or little-endian (host).
  Bytes& Be(std::size_t at, std::int64_t v, int width) {
    Grow(at + width);
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
    return *this;
  }
  Bytes& Le(std::size_t at, std::int64_t v, int width) {
    Grow(at + width);
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return *this;
  }
  Bytes& Be16(std::size_t at, std::int64_t v) { return Be(at, v, 2); }
  Bytes& Be32(std::size_t at, std::int64_t v) { return Be(at, v, 4); }
  Bytes& Le16(std::size_t at, std::int64_t v) { return Le(at, v, 2); }
  Bytes& Le32(std::size_t at, std::int64_t v) { return Le(at, v, 4); }
  Bytes& BeDouble(std::size_t at, double v) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    return Be(at, static_cast<std::int64_t>(bits), 8);
  }
  // Text, blank-padded (or cut) to width.
  Bytes& Text(std::size_t at, const std::string& text, int width) {
    Grow(at + width);
    for (int i = 0; i < width; ++i) b[at + i] = i < static_cast<int>(text.size()) ? text[i] : ' ';
    return *this;
  }
  Bytes& Raw(std::size_t at, std::initializer_list<int> bytes) {
    Grow(at + bytes.size());
    for (int v : bytes) b[at++] = static_cast<std::uint8_t>(v);
    return *this;
  }
  Bytes& Copy(std::size_t at, const Bytes& from, std::size_t fromAt, std::size_t n) {
    Grow(at + n);
    std::copy_n(from.b.begin() + static_cast<std::ptrdiff_t>(fromAt), n, b.begin() + static_cast<std::ptrdiff_t>(at));
    return *this;
  }
  // Bytes [from, to) get a pattern in which no two neighbours are equal and
  // no byte is below 0x11: every field of two or more bytes changes when its
  // bytes are reversed, and no 16-bit field reads as a small flag value.
  Bytes& Fill(std::size_t from, std::size_t to, int seed) {
    Grow(to);
    for (std::size_t k = from; k < to; ++k) b[k] = static_cast<std::uint8_t>(0x11 + (k * 37 + static_cast<std::size_t>(seed) * 53) % 221);
    return *this;
  }
  // Reverses width bytes at at: a big-endian field turned to host order.
  Bytes& Reverse(std::size_t at, int width) {
    std::reverse(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + width));
    return *this;
  }

  std::string Str() const { return std::string(b.begin(), b.end()); }

  std::vector<std::uint8_t> b;

 private:
  void Grow(std::size_t size) {
    if (b.size() < size) b.resize(size);
  }
};

// "" when equal, else where the first difference lies.
inline std::string FirstDifference(const std::string& want, const std::string& got) {
  if (want == got) return "";
  std::size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  char text[160];
  std::snprintf(text, sizeof text, "lengths %zu (want) and %zu (got); first difference at byte %zu: want %02x, got %02x",
                want.size(), got.size(), i, i < want.size() ? static_cast<std::uint8_t>(want[i]) : 0,
                i < got.size() ? static_cast<std::uint8_t>(got[i]) : 0);
  return text;
}

}  // namespace fh::golden
