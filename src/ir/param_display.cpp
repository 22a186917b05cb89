// Display forms of parameter values, the human-readable text shown in DOT
// labels: floats as shortest round-trip decimals without exponent, strings
// quoted with the invisible and combining characters written as escapes.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "ir/display_escapes.h"
#include "ir/param_value.h"

namespace nodalis::ir {

namespace {

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
    } else if (display_escapes(c)) {
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
  // Scientific notation with no precision gives the shortest digits that
  // read back to the same double (fixed notation would give every digit of
  // a large value's binary expansion); they are then written out in full,
  // without the exponent: 1e23 shows as 1 and 23 zeros, 5e-324 as 0. with
  // 323 zeros and a 5.
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') out.push_back(*p++);
  const char* e = p;
  while (*e != 'e') ++e;
  char digits[20];
  size_t n = 0;
  for (const char* q = p; q < e; ++q)
    if (*q != '.') digits[n++] = *q;
  int exponent = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), res.ptr, exponent);
  const long point = long{exponent} + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out.append(digits, n);
  } else if (static_cast<size_t>(point) >= n) {
    out.append(digits, n);
    out.append(static_cast<size_t>(point) - n, '0');
  } else {
    out.append(digits, static_cast<size_t>(point));
    out.push_back('.');
    out.append(digits + point, n - static_cast<size_t>(point));
  }
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
