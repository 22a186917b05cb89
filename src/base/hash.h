// The project's hashes, for in-memory tables only (values are never stored or
// exchanged, so only speed and spread matter). The seeded byte hash serves
// every table keyed by what callers control (node records, texts): the seed
// comes from the table, so no input can force collisions for all tables at
// once. The fixed fx hash below serves the e-graph, whose keys it issues.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/le_bytes.h"

namespace nodalis {

namespace hash_detail {
inline constexpr uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
inline constexpr uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;
inline constexpr uint64_t kMul3 = 0xFF51AFD7ED558CCDull;
inline uint64_t rotl(uint64_t x, int r) noexcept { return (x << r) | (x >> (64 - r)); }
inline uint64_t absorb(uint64_t h, uint64_t w) noexcept {
  h ^= rotl(w * kMul2, 31) * kMul1;
  return rotl(h, 27) * 5 + 0x52DCE729;
}
__extension__ typedef unsigned __int128 u128;
// Folded 64x64->128 product: one multiply mixes 16 bytes into the state.
inline uint64_t mum(uint64_t a, uint64_t b) noexcept {
  const u128 r = static_cast<u128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}
// Both factors carry the (seeded) state, so no input block can zero the
// product, and with it the state, without knowing the seed.
inline uint64_t absorb16(uint64_t h, uint64_t a, uint64_t b) noexcept {
  return mum(a ^ h ^ kMul2, b ^ rotl(h, 32) ^ kMul1);
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

// Mixes `n` bytes into a running hash, 16 bytes per multiply; the length is
// mixed in, so texts that differ only by trailing zero bytes hash apart. The
// last 1-16 bytes are read as (possibly overlapping) whole words rather than
// byte by byte: every byte is still read, and the length tells the overlaps
// apart.
inline uint64_t hash_bytes(uint64_t h, const char* p, size_t n) noexcept {
  using namespace hash_detail;
  h ^= (static_cast<uint64_t>(n) + 1) * kMul3;
  if (n > 16 && n <= 64) {
    // Most node records: always four steps, the middle two kept or dropped
    // by a mask, and the last one on the final 16 bytes (overlapping the
    // step before). A loop would end at a length-dependent point, which
    // mispredicts on about every other record of a mixed graph.
    const size_t last = n - 16;
    const char* second = p + (last < 16 ? last : 16);
    const char* third = p + (last < 32 ? last : 32);
    h = absorb16(h, le::u64(p), le::u64(p + 8));
    const uint64_t keep2 = 0 - static_cast<uint64_t>(n > 32);
    const uint64_t keep3 = 0 - static_cast<uint64_t>(n > 48);
    h = (absorb16(h, le::u64(second), le::u64(second + 8)) & keep2) | (h & ~keep2);
    h = (absorb16(h, le::u64(third), le::u64(third + 8)) & keep3) | (h & ~keep3);
    return absorb16(h, le::u64(p + last), le::u64(p + last + 8));
  }
  while (n > 16) {
    h = absorb16(h, le::u64(p), le::u64(p + 8));
    p += 16;
    n -= 16;
  }
  uint64_t a = 0, b = 0;
  if (n > 8) {
    a = le::u64(p);
    b = le::u64(p + n - 8);
  } else if (n >= 4) {
    a = le::u32(p);
    b = le::u32(p + n - 4);
  } else if (n > 0) {
    const auto byte = [p](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(p[i])); };
    a = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
  }
  return absorb16(h, a, b);
}

// The fixed, unseeded multiplicative hash of the e-graph's tables and of the
// symbol table's shard choice. Being unseeded is the point there: no
// iteration order or shard assignment may depend on a per-process random
// seed, and e-graph keys are ids the engine issues, not texts callers choose.
// It is not the word hash above under a fixed seed, for two reasons. A
// symbol's number carries the shard, the low bits of fx_bytes, and a class
// lists its nodes in symbol-number order, so any other function would
// reorder the nodes the rewrites visit. And on the e-graph's hash-cons the
// word hash costs two multiplies per word where this costs one: measured on
// egraph_bench's 1M-node add, 34 more instructions per node added (+7.5% in
// the add, +14% in lookups).
inline constexpr uint64_t kFxMultiplier = 0x517cc1b727220a95ULL;

// Folds one 32- or 64-bit word into the running state.
constexpr uint64_t fx_add(uint64_t state, uint64_t word) noexcept {
  return (std::rotl(state, 5) ^ word) * kFxMultiplier;
}

// Bytes go in as little-endian 8-byte words, then the tail, then the length,
// so that texts that are prefixes of one another hash apart.
inline uint64_t fx_bytes(std::string_view text) noexcept {
  uint64_t state = 0;
  const char* p = text.data();
  size_t left = text.size();
  while (left >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    state = fx_add(state, word);
    p += 8;
    left -= 8;
  }
  if (left > 0) {
    uint64_t word = 0;
    for (size_t k = 0; k < left; ++k) word |= uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
    state = fx_add(state, word);
  }
  return fx_add(state, text.size());
}

}  // namespace nodalis
