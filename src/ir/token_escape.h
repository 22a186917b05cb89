// The escaping that every token shares: "%", ";", "=" and "|" are the token
// grammar's separators, so free text (names, keys, strings) is escaped before
// it is placed in a token and unescaped when parsed back. TokenOut is what
// tokens are written through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace nodalis::ir {

// "%"->"%25", ";"->"%3B", "="->"%3D", "|"->"%7C"; nothing else changes.
std::string escape_token(std::string_view text);
// Appends escape_token(text) to out.
void append_escaped(std::string& out, std::string_view text);
// Inverse on every output of escape_token; never fails, leaves unknown "%"
// sequences (and lower-case hex) as they are. Replacements run in the order
// %7C, %3D, %3B, %25, each over the whole text.
std::string unescape_token(std::string_view text);

// A growing text that tokens are written into. A token is a dozen pieces of a
// few bytes each, and a string append per piece cost more than the bytes it
// copied: pieces are written through a cursor into room taken ahead, which
// the string keeps between tokens.
class TokenOut {
 public:
  TokenOut() = default;
  // Writing goes on after `start`'s text.
  explicit TokenOut(std::string start) noexcept : buf_(std::move(start)), used_(buf_.size()) {}

  std::string_view view() const noexcept { return {buf_.data(), used_}; }
  // The text written, as a string; the writer is empty afterwards.
  std::string take();
  void clear() noexcept { used_ = 0; }

  void put(char c) {
    *room(1) = c;
    ++used_;
  }
  void put(std::string_view text) {
    std::memcpy(room(text.size()), text.data(), text.size());
    used_ += text.size();
  }
  // escape_token(text).
  void put_escaped(std::string_view text);
  // Decimal, with a "-" for negatives.
  void put_int(int64_t v);
  // Sixteen lower-case hex digits, most significant first.
  void put_hex16(uint64_t v);

 private:
  // At least `n` bytes of room after the text.
  char* room(size_t n) {
    if (buf_.size() - used_ < n) [[unlikely]] grow(n);
    return buf_.data() + used_;
  }
  void grow(size_t n);

  std::string buf_;  // the text, then room
  size_t used_ = 0;
};

}  // namespace nodalis::ir
