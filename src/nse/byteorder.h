// Byte order: the one place that reads, writes and swaps multi-byte fields.
//
// Exchange integers are big-endian on the wire and are converted in place,
// once, on a working copy. Every helper goes through memcpy, so unaligned
// fields are fine and each compiles to a load, a byte swap and a store.
// Thread safety: pure functions over the caller's bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace fh {

static_assert(std::endian::native == std::endian::little, "host order is assumed little-endian");

// Reads a field in host order (after conversion) or writes one.
inline std::int16_t Load16(const std::uint8_t* p) { std::int16_t v; std::memcpy(&v, p, 2); return v; }
inline std::int32_t Load32(const std::uint8_t* p) { std::int32_t v; std::memcpy(&v, p, 4); return v; }
inline std::int64_t Load64(const std::uint8_t* p) { std::int64_t v; std::memcpy(&v, p, 8); return v; }
inline double LoadDouble(const std::uint8_t* p) { double v; std::memcpy(&v, p, 8); return v; }
inline void Store16(std::uint8_t* p, std::int16_t v) { std::memcpy(p, &v, 2); }
inline void Store32(std::uint8_t* p, std::int32_t v) { std::memcpy(p, &v, 4); }

// Reads a big-endian field without converting it.
inline std::int16_t LoadBe16(const std::uint8_t* p) {
  std::uint16_t v; std::memcpy(&v, p, 2); return static_cast<std::int16_t>(__builtin_bswap16(v));
}
// Writes a big-endian field (tests and the simulator build wire messages).
inline void StoreBe16(std::uint8_t* p, std::int16_t v) {
  const std::uint16_t w = __builtin_bswap16(static_cast<std::uint16_t>(v)); std::memcpy(p, &w, 2);
}
inline void StoreBe32(std::uint8_t* p, std::int32_t v) {
  const std::uint32_t w = __builtin_bswap32(static_cast<std::uint32_t>(v)); std::memcpy(p, &w, 4);
}
inline void StoreBe64(std::uint8_t* p, std::int64_t v) {
  const std::uint64_t w = __builtin_bswap64(static_cast<std::uint64_t>(v)); std::memcpy(p, &w, 8);
}
inline void StoreBeDouble(std::uint8_t* p, double d) {
  std::uint64_t w; std::memcpy(&w, &d, 8); w = __builtin_bswap64(w); std::memcpy(p, &w, 8);
}

// In-place conversion from network to host order: 2, 4 and 8 bytes.
inline void ToHost16(std::uint8_t* p) {
  std::uint16_t v; std::memcpy(&v, p, 2); v = __builtin_bswap16(v); std::memcpy(p, &v, 2);
}
inline void ToHost32(std::uint8_t* p) {
  std::uint32_t v; std::memcpy(&v, p, 4); v = __builtin_bswap32(v); std::memcpy(p, &v, 4);
}
inline void ToHost64(std::uint8_t* p) {
  std::uint64_t v; std::memcpy(&v, p, 8); v = __builtin_bswap64(v); std::memcpy(p, &v, 8);
}

}  // namespace fh
