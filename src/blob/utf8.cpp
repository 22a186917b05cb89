// Word-at-a-time ASCII skipping with a table-free check of multi-byte
// sequences, following the well-formed byte ranges of Unicode's UTF-8 table.
#include "blob/utf8.h"

#include <cstdint>
#include <cstring>

namespace nodalis::blob {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

inline bool continuation(unsigned char c) noexcept { return (c & 0xC0u) == 0x80u; }

}  // namespace

bool valid_utf8_slow(const char* data, size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* end = p + size;
  while (p < end) {
    // Skip ASCII sixteen bytes at a time.
    while (end - p >= 16) {
      uint64_t a, b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      if (((a | b) & kHighBits) != 0) break;
      p += 16;
    }
    if (p == end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t left = static_cast<size_t>(end - p);
    if (c >= 0xC2 && c <= 0xDF) {
      if (left < 2 || !continuation(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (left < 3) return false;
      unsigned char c1 = p[1];
      // E0 needs A0..BF (no overlongs); ED needs 80..9F (no surrogates).
      unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
      unsigned char hi = c == 0xED ? 0x9F : 0xBF;
      if (c1 < lo || c1 > hi || !continuation(p[2])) return false;
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (left < 4) return false;
      unsigned char c1 = p[1];
      // F0 needs 90..BF (no overlongs); F4 needs 80..8F (at most U+10FFFF).
      unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
      unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
      if (c1 < lo || c1 > hi || !continuation(p[2]) || !continuation(p[3])) return false;
      p += 4;
    } else {
      // 80..C1 (stray continuation, overlong two-byte lead) and F5..FF.
      return false;
    }
  }
  return true;
}

}  // namespace nodalis::blob
