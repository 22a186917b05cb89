// UTF-8 validation for the decoder: every string in a blob is untrusted, and
// names and parameter keys are mostly short ASCII, so the check runs a word at
// a time until it meets a byte with the high bit set.
#pragma once

#include <cstddef>

namespace nodalis::blob {

// True when [data, data + size) is well-formed UTF-8: no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no cut-off sequence.
bool valid_utf8(const char* data, size_t size) noexcept;

}  // namespace nodalis::blob
