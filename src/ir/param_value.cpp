// Parameter values: construction, canonical float bits, the value token and
// equality. The display form lives in param_display.cpp.
#include "ir/param_value.h"

#include <cstring>

#include "ir/token_escape.h"

namespace nodalis::ir {

uint64_t canonical_bits_of_raw(uint64_t raw) noexcept {
  const bool nan = (raw & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (raw & 0x000FFFFFFFFFFFFFull) != 0;
  return nan ? kCanonicalNaNBits : raw;
}

uint64_t canonical_bits(double value) noexcept {
  uint64_t raw;
  std::memcpy(&raw, &value, 8);
  return canonical_bits_of_raw(raw);
}

ParamRef ParamRef::of_int(int64_t v) noexcept {
  ParamRef r;
  r.tag = ParamTag::Int;
  r.i = v;
  return r;
}
ParamRef ParamRef::of_float(double v) noexcept {
  uint64_t raw;
  std::memcpy(&raw, &v, 8);
  return of_float_bits(raw);
}
ParamRef ParamRef::of_float_bits(uint64_t raw) noexcept {
  ParamRef r;
  r.tag = ParamTag::Float;
  r.bits = raw;
  return r;
}
ParamRef ParamRef::of_bool(bool v) noexcept {
  ParamRef r;
  r.tag = ParamTag::Bool;
  r.b = v;
  return r;
}
ParamRef ParamRef::of_str(std::string_view v) noexcept {
  ParamRef r;
  r.tag = ParamTag::Str;
  r.str = v;
  return r;
}

double ParamRef::f() const noexcept {
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

void ParamRef::write_token(TokenOut& out) const {
  switch (tag) {
    case ParamTag::Int:
      out.put('i');
      out.put_int(i);
      break;
    case ParamTag::Float:
      out.put('f');
      out.put_hex16(canonical_bits_of_raw(bits));
      break;
    case ParamTag::Bool:
      out.put(b ? std::string_view("btrue") : std::string_view("bfalse"));
      break;
    case ParamTag::Str:
      out.put('s');
      out.put_escaped(str);
      break;
  }
}

void ParamRef::append_token(std::string& out) const {
  TokenOut o(std::move(out));
  write_token(o);
  out = o.take();
}

std::string ParamRef::token() const {
  std::string out;
  append_token(out);
  return out;
}

bool operator==(const ParamRef& a, const ParamRef& b) noexcept {
  if (a.tag != b.tag) return false;
  switch (a.tag) {
    case ParamTag::Int: return a.i == b.i;
    case ParamTag::Float: return canonical_bits_of_raw(a.bits) == canonical_bits_of_raw(b.bits);
    case ParamTag::Bool: return a.b == b.b;
    case ParamTag::Str: return a.str == b.str;
  }
  return false;
}

ParamValue ParamValue::Int(int64_t v) {
  ParamValue p;
  p.tag_ = ParamTag::Int;
  p.word_ = static_cast<uint64_t>(v);
  return p;
}
ParamValue ParamValue::Float(double v) {
  ParamValue p;
  p.tag_ = ParamTag::Float;
  std::memcpy(&p.word_, &v, 8);
  return p;
}
ParamValue ParamValue::Bool(bool v) {
  ParamValue p;
  p.tag_ = ParamTag::Bool;
  p.word_ = v ? 1 : 0;
  return p;
}
ParamValue ParamValue::Str(std::string v) {
  ParamValue p;
  p.tag_ = ParamTag::Str;
  p.str_ = std::move(v);
  return p;
}

ParamRef ParamValue::ref() const noexcept {
  switch (tag_) {
    case ParamTag::Int: return ParamRef::of_int(static_cast<int64_t>(word_));
    case ParamTag::Float: return ParamRef::of_float_bits(word_);
    case ParamTag::Bool: return ParamRef::of_bool(word_ != 0);
    case ParamTag::Str: return ParamRef::of_str(str_);
  }
  return {};
}

}  // namespace nodalis::ir
