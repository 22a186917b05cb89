// Escaping of free text inside tokens. Escaping "%" along with the three
// separators makes every "%" in a token begin an escape, so parsing is exact.
#include "ir/token_escape.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace nodalis::ir {

namespace {

// For each byte, 0 when it stands as it is, else 1 + the index of its escape
// in kEscapes.
constexpr std::array<uint8_t, 256> kEscapeOf = [] {
  std::array<uint8_t, 256> t{};
  t['%'] = 1;
  t[';'] = 2;
  t['='] = 3;
  t['|'] = 4;
  return t;
}();
// The two lower-case hex digits of each byte.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
  constexpr char kHex[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> t{};
  for (int b = 0; b < 256; ++b) t[b] = {kHex[b >> 4], kHex[b & 0xF]};
  return t;
}();
constexpr char kEscapes[4][3] = {{'%', '2', '5'}, {'%', '3', 'B'}, {'%', '3', 'D'}, {'%', '7', 'C'}};

}  // namespace

void TokenOut::put_escaped(std::string_view text) {
  // One left-to-right pass gives the same text as the four ordered
  // whole-text replacements, since no replacement introduces a later one's
  // pattern except "%" itself, which is handled first.
  char* const start = room(3 * text.size());
  char* p = start;
  for (const char c : text) {
    const uint8_t e = kEscapeOf[static_cast<uint8_t>(c)];
    if (e == 0) [[likely]] {
      *p++ = c;
      continue;
    }
    std::memcpy(p, kEscapes[e - 1], 3);
    p += 3;
  }
  used_ += static_cast<size_t>(p - start);
}

void TokenOut::put_int(int64_t v) {
  constexpr size_t kMaxDigits = 20;  // "-9223372036854775808"
  char* const start = room(kMaxDigits);
  used_ += static_cast<size_t>(std::to_chars(start, start + kMaxDigits, v).ptr - start);
}

void TokenOut::put_hex16(uint64_t v) {
  char* const p = room(16);
  for (int k = 0; k < 8; ++k) std::memcpy(p + 2 * k, kHexPairs[(v >> (56 - 8 * k)) & 0xFF].data(), 2);
  used_ += 16;
}

void TokenOut::grow(size_t n) {
  // Room up to the string's own capacity costs nothing new; past it, doubling.
  constexpr size_t kFirstRoom = 64;
  buf_.resize(std::max({used_ + n, buf_.capacity(), 2 * buf_.size(), kFirstRoom}));
}

std::string TokenOut::take() {
  buf_.resize(used_);
  used_ = 0;
  return std::move(buf_);
}

void append_escaped(std::string& out, std::string_view text) {
  TokenOut o(std::move(out));
  o.put_escaped(text);
  out = o.take();
}

std::string escape_token(std::string_view text) {
  TokenOut o;
  o.put_escaped(text);
  return o.take();
}

namespace {

// Replaces every non-overlapping occurrence of `from` (3 bytes) by `to`,
// scanning left to right.
void replace_all(std::string& s, std::string_view from, char to) {
  size_t pos = s.find(from);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  size_t run = 0;
  while (pos != std::string::npos) {
    out.append(s, run, pos - run);
    out.push_back(to);
    run = pos + from.size();
    pos = s.find(from, run);
  }
  out.append(s, run, std::string::npos);
  s.swap(out);
}

}  // namespace

std::string unescape_token(std::string_view text) {
  // Four whole-text passes in this fixed order are the defined behaviour;
  // "%25" goes last so that a decoded "%" is never decoded again
  // ("%253B" gives "%3B").
  std::string s(text);
  if (s.find('%') == std::string::npos) return s;
  replace_all(s, "%7C", '|');
  replace_all(s, "%3D", '=');
  replace_all(s, "%3B", ';');
  replace_all(s, "%25", '%');
  return s;
}

}  // namespace nodalis::ir
