// Little-endian field access for the BSE feed, whose integers travel in
// little-endian order. The one place in src/bse that reads or writes a
// multi-byte field; every access goes through memcpy, so unaligned fields are
// fine.
// Thread safety: pure functions over the caller's bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace fh::bse {

inline std::uint16_t FromLe16(std::uint16_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap16(v);
  return v;
}
inline std::uint32_t FromLe32(std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline std::int16_t LoadLe16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return static_cast<std::int16_t>(FromLe16(v));
}
inline std::int32_t LoadLe32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return static_cast<std::int32_t>(FromLe32(v));
}
inline void StoreLe16(std::uint8_t* p, std::int16_t value) {
  const std::uint16_t v = FromLe16(static_cast<std::uint16_t>(value));
  std::memcpy(p, &v, 2);
}
inline void StoreLe32(std::uint8_t* p, std::int32_t value) {
  const std::uint32_t v = FromLe32(static_cast<std::uint32_t>(value));
  std::memcpy(p, &v, 4);
}

}  // namespace fh::bse
