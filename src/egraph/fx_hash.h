// The fixed, unseeded multiplicative hash of the e-graph's tables and of the
// symbol table's shard choice. Being unseeded is the point: no iteration order
// or shard assignment ever depends on a per-process random seed.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace nodalis::egraph {

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

}  // namespace nodalis::egraph
