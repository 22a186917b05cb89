// Display forms of parameter values, the human-readable text shown in DOT
// labels: floats as shortest round-trip decimals without exponent, strings
// quoted with the invisible and combining characters written as escapes.
#include <charconv>
#include <cmath>
#include <cstdio>

#include "ir/param_value.h"

namespace nodalis::ir {

namespace {

struct Range {
  char32_t lo, hi;
};

// Combining (grapheme-extending) marks: the main blocks of the Unicode
// Grapheme_Extend property rather than the full table. The text only feeds
// DOT labels, where a mark that is shown raw instead of escaped is harmless;
// the escaping exists so that a mark never silently fuses with the quote or
// letter before it.
constexpr Range kCombining[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0711, 0x0711},
    {0x0730, 0x074A}, {0x07A6, 0x07B0}, {0x07EB, 0x07F3}, {0x0816, 0x082D}, {0x0859, 0x085B},
    {0x08D3, 0x08FF}, {0x0900, 0x0902}, {0x093A, 0x093A}, {0x093C, 0x093C}, {0x0941, 0x0948},
    {0x094D, 0x094D}, {0x0951, 0x0957}, {0x0962, 0x0963}, {0x0981, 0x0981}, {0x09BC, 0x09BC},
    {0x09C1, 0x09C4}, {0x09CD, 0x09CD}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
    {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC}, {0x0EC8, 0x0ECD}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200C, 0x200C}, {0x20D0, 0x20F0}, {0x302A, 0x302F}, {0x3099, 0x309A}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

// Characters without a visible form of their own: controls, format
// characters, spaces other than " ", line and paragraph separators,
// surrogates, private use and noncharacters.
constexpr Range kInvisible[] = {
    {0x0000, 0x001F}, {0x007F, 0x00A0}, {0x00AD, 0x00AD}, {0x061C, 0x061C}, {0x1680, 0x1680},
    {0x180E, 0x180E}, {0x2000, 0x200B}, {0x200D, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x206F},
    {0x3000, 0x3000}, {0xD800, 0xF8FF}, {0xFEFF, 0xFEFF}, {0xFFF0, 0xFFFB}, {0xFFFE, 0xFFFF},
    {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE001F}, {0xE0080, 0xE00FF}, {0xE01F0, 0x10FFFF},
};

template <size_t N>
bool in(const Range (&table)[N], char32_t c) noexcept {
  size_t lo = 0, hi = N;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (c < table[mid].lo) {
      hi = mid;
    } else if (c > table[mid].hi) {
      lo = mid + 1;
    } else {
      return true;
    }
  }
  return false;
}

// Decodes one UTF-8 character at s[i]; an invalid sequence gives U+FFFD and
// consumes one byte (strings from Python and from checked blobs are valid).
char32_t next_char(std::string_view s, size_t& i) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len;
  char32_t c;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    c = b0 & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void append_quoted(std::string& out, std::string_view s) {
  out.push_back('"');
  size_t i = 0;
  while (i < s.size()) {
    const char32_t c = next_char(s, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (in(kInvisible, c) || in(kCombining, c)) {
      char buf[16];
      const int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out.append(buf, static_cast<size_t>(n));
    } else {
      append_utf8(out, c);
    }
  }
  out.push_back('"');
}

void append_float(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  // Fixed notation with no precision gives the shortest digits that read
  // back to the same double, never an exponent; the smallest subnormal needs
  // about 330 characters.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  out.append(buf, static_cast<size_t>(res.ptr - buf));
}

}  // namespace

void ParamRef::append_display(std::string& out) const {
  switch (tag) {
    case ParamTag::Int: out += std::to_string(i); break;
    case ParamTag::Float: append_float(out, f()); break;
    case ParamTag::Bool: out += b ? "true" : "false"; break;
    case ParamTag::Str: append_quoted(out, str); break;
  }
}

std::string ParamRef::display() const {
  std::string out;
  append_display(out);
  return out;
}

}  // namespace nodalis::ir
