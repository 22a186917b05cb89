// Little-endian fixed-width reads and writes over unaligned bytes: node keys
// and maps are held in their blob encoding, so every field access goes here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nodalis::le {

inline uint32_t u32(const char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}
inline uint64_t u64(const char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline char* put_u32(char* p, uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
  return p + 4;
}
inline char* put_u64(char* p, uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
  return p + 8;
}
// n bytes copied to p, for the short fields of a record (names, keys) without
// a call: 16-byte moves, the last one overlapping the one before, so nothing
// outside either range is touched. Returns the end.
inline char* put_bytes(char* p, const char* from, size_t n) noexcept {
  if (n >= 16) {
    for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(p + i, from + i, 16);
    std::memcpy(p + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(p, from, 8);
    std::memcpy(p + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(p, from, 4);
    std::memcpy(p + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    p[0] = from[0];
    p[n / 2] = from[n / 2];
    p[n - 1] = from[n - 1];
  }
  return p + n;
}

}  // namespace nodalis::le
