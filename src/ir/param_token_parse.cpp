// Parsing a map token back into a map. Any malformed piece fails the whole
// parse without a message; the caller decides what that means.
#include <deque>

#include "ir/param_map.h"
#include "ir/token_escape.h"

namespace nodalis::ir {

namespace {

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Optional "+", at least one hex digit, leading zeros allowed, 64 bits max.
std::optional<uint64_t> parse_hex_u64(std::string_view s) noexcept {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0 || (v >> 60) != 0) return std::nullopt;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  return v;
}

// Optional sign, at least one decimal digit, within the signed 64-bit range.
std::optional<int64_t> parse_i64(std::string_view s) noexcept {
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate the magnitude, which may reach 2^63 for the negative bound.
  const uint64_t limit = neg ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<uint64_t>(c - '0');
    if (v > (limit - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return neg ? static_cast<int64_t>(~v + 1) : static_cast<int64_t>(v);
}

}  // namespace

std::optional<ParamMap> ParamMap::from_token(std::string_view text) {
  if (text.empty()) return ParamMap();
  ParamMapBuilder builder;
  // Unescaped keys and strings must outlive the builder's borrowed views;
  // a deque never moves what it already holds.
  std::deque<std::string> texts;
  size_t start = 0;
  while (true) {
    const size_t semi = text.find(';', start);
    const std::string_view piece =
        text.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
    const size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view value = piece.substr(eq + 1);
    if (value.empty()) return std::nullopt;
    const std::string_view payload = value.substr(1);
    ParamRef ref;
    switch (value[0]) {
      case 'b':
        if (payload == "true") {
          ref = ParamRef::of_bool(true);
        } else if (payload == "false") {
          ref = ParamRef::of_bool(false);
        } else {
          return std::nullopt;
        }
        break;
      case 'f': {
        const auto bits = parse_hex_u64(payload);
        if (!bits) return std::nullopt;
        ref = ParamRef::of_float_bits(*bits);
        break;
      }
      case 'i': {
        const auto v = parse_i64(payload);
        if (!v) return std::nullopt;
        ref = ParamRef::of_int(*v);
        break;
      }
      case 's':
        ref = ParamRef::of_str(texts.emplace_back(unescape_token(payload)));
        break;
      default:
        return std::nullopt;
    }
    builder.add(texts.emplace_back(unescape_token(piece.substr(0, eq))), ref);
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  std::string bytes;
  builder.finish(bytes);
  return ParamMap::adopt_encoded(std::move(bytes));
}

}  // namespace nodalis::ir
