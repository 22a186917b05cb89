// The escaping that every token shares: "%", ";", "=" and "|" are the token
// grammar's separators, so free text (names, keys, strings) is escaped before
// it is placed in a token and unescaped when parsed back.
#pragma once

#include <string>
#include <string_view>

namespace nodalis::ir {

// "%"->"%25", ";"->"%3B", "="->"%3D", "|"->"%7C"; nothing else changes.
std::string escape_token(std::string_view text);
// Appends escape_token(text) to out (hot path of token building).
void append_escaped(std::string& out, std::string_view text);
// Inverse on every output of escape_token; never fails, leaves unknown "%"
// sequences (and lower-case hex) as they are. Replacements run in the order
// %7C, %3D, %3B, %25, each over the whole text.
std::string unescape_token(std::string_view text);

}  // namespace nodalis::ir
