// Little-endian fixed-width reads and writes over unaligned bytes: node keys
// and maps are held in their blob encoding, so every field access goes here.
#pragma once

#include <bit>
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

}  // namespace nodalis::le
