// A fast seeded 64-bit hash over bytes for the in-memory interning tables.
// Values are never stored or exchanged, so only speed and spread matter; the
// seed comes from the table so that no input can force collisions for all
// stores at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ir/le_bytes.h"

namespace nodalis::ir {

namespace hash_detail {
inline constexpr uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
inline constexpr uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;
inline constexpr uint64_t kMul3 = 0xFF51AFD7ED558CCDull;
inline uint64_t rotl(uint64_t x, int r) noexcept { return (x << r) | (x >> (64 - r)); }
inline uint64_t absorb(uint64_t h, uint64_t w) noexcept {
  h ^= rotl(w * kMul2, 31) * kMul1;
  return rotl(h, 27) * 5 + 0x52DCE729;
}
}  // namespace hash_detail

// Final avalanche so that every input bit reaches the high bits, which the
// interning table uses for its probe position.
inline uint64_t hash_finish(uint64_t h) noexcept {
  h ^= h >> 33;
  h *= hash_detail::kMul3;
  h ^= h >> 33;
  h *= hash_detail::kMul2;
  h ^= h >> 33;
  return h;
}

// Mixes one 64-bit word into a running hash (for structural hashing).
inline uint64_t hash_word(uint64_t h, uint64_t w) noexcept { return hash_detail::absorb(h, w); }

// Mixes `n` bytes into a running hash; the length is mixed in, so texts that
// differ only by trailing zero bytes hash apart.
inline uint64_t hash_bytes(uint64_t h, const char* p, size_t n) noexcept {
  using namespace hash_detail;
  h ^= (static_cast<uint64_t>(n) + 1) * kMul1;
  while (n >= 16) {
    uint64_t a = le::u64(p), b = le::u64(p + 8);
    h = absorb(absorb(h, a), b);
    p += 16;
    n -= 16;
  }
  if (n >= 8) {
    h = absorb(h, le::u64(p));
    p += 8;
    n -= 8;
  }
  if (n > 0) {
    uint64_t w = 0;
    for (size_t i = 0; i < n; ++i) w |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    h = absorb(h, w);
  }
  return h;
}

}  // namespace nodalis::ir
