// UTF-8 validation for the decoder: every string in a blob is untrusted, and
// names and parameter keys are mostly short ASCII, so the check runs a word at
// a time until it meets a byte with the high bit set.
#pragma once

#include <cstddef>

namespace nodalis::blob {

// The general check, for text that is long or not plain ASCII.
bool valid_utf8_slow(const char* data, size_t size) noexcept;

// True when [data, data + size) is well-formed UTF-8: no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no cut-off sequence.
// Names and keys are mostly a few ASCII bytes, checked here without a call.
inline bool valid_utf8(const char* data, size_t size) noexcept {
  if (size <= 16) {
    unsigned char any = 0;
    for (size_t i = 0; i < size; ++i) any |= static_cast<unsigned char>(data[i]);
    if (any < 0x80) return true;
  }
  return valid_utf8_slow(data, size);
}

}  // namespace nodalis::blob
