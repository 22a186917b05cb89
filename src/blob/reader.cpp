// Bounds-checked reads of the blob's fixed-width integers, strings, maps,
// input lists and whole records. Loops never trust a count: each pass
// consumes bytes, so a forged count runs out of blob long before it runs out
// of iterations.
#include "blob/reader.h"

#include <cstring>
#include <string>

#include "blob/canonical_record.h"
#include "ir/record_layout.h"

namespace nodalis::blob {

namespace {

// Up to the first eight bytes of `s` as a big-endian number, zero-padded:
// comparing two of these compares the prefixes as unsigned bytes.
inline uint64_t prefix8(std::string_view s) noexcept {
  const size_t n = s.size() < 8 ? s.size() : 8;
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(s[i])) << (56 - 8 * i);
  return v;
}

// a < b on unsigned bytes, a proper prefix first (string_view's order).
// Parameter keys are short, so the first eight bytes nearly always decide.
inline bool key_before(std::string_view a, std::string_view b) noexcept {
  const uint64_t pa = prefix8(a), pb = prefix8(b);
  if (pa != pb) return pa < pb;
  // Equal padded prefixes: when either key ends within them, the keys agree
  // up to the shorter one's end, which is therefore the prefix.
  if (a.size() <= 8 || b.size() <= 8) return a.size() < b.size();
  return a.substr(8) < b.substr(8);
}

// True when none of the `n` bytes at `p` has its high bit set. `end` bounds
// what may be read: a short text is tested in one word when the blob
// reaches eight bytes past its start.
inline bool ascii(const char* p, size_t n, const char* end) noexcept {
  if (n <= 8 && end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t keep = n == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
    return (w & keep & 0x8080808080808080ull) == 0;
  }
  unsigned char any = 0;
  for (size_t i = 0; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
  return any < 0x80;
}

inline uint32_t load_u32(const char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

Result<MapSpan, DecodeError> Reader::map() noexcept {
  size_t start = pos_;
  auto count = u32();
  if (!count) return Err{count.error()};
  bool canonical = true;
  bool has_nan = false;
  std::string_view prev_key;
  for (uint32_t i = 0; i < count.value(); ++i) {
    auto key = string();
    if (!key) return Err{key.error()};
    if (i > 0 && key_before(key.value(), prev_key)) canonical = false;
    prev_key = key.value();
    auto tag = u8();
    if (!tag) return Err{tag.error()};
    if (!ir::is_param_tag(tag.value())) return Err{DecodeError::invalid_tag(TagField::Param, tag.value())};
    switch (static_cast<ir::ParamTag>(tag.value())) {
      case ir::ParamTag::Int:
        if (remaining() < ir::fixed_payload_size(ir::ParamTag::Int)) return Err{DecodeError::truncated()};
        pos_ += ir::fixed_payload_size(ir::ParamTag::Int);
        break;
      case ir::ParamTag::Float: {
        if (remaining() < ir::fixed_payload_size(ir::ParamTag::Float)) return Err{DecodeError::truncated()};
        uint64_t bits;
        std::memcpy(&bits, data_ + pos_, 8);
        pos_ += 8;
        // Exponent all ones and a non-zero fraction.
        has_nan |= (bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull;
        break;
      }
      case ir::ParamTag::Bool: {
        auto b = u8();
        if (!b) return Err{b.error()};
        if (b.value() > 1) canonical = false;
        break;
      }
      case ir::ParamTag::Str: {
        auto s = string();
        if (!s) return Err{s.error()};
        break;
      }
    }
  }
  return MapSpan{since(start), canonical, has_nan};
}

Result<ir::ParamMap, DecodeError> Reader::params() {
  auto span = map();
  if (!span) return Err{span.error()};
  std::string bytes;
  if (span.value().canonical) {
    bytes.assign(span.value().bytes);
  } else {
    std::vector<EntrySpan> scratch;
    canonicalize_params(bytes, span.value().bytes, scratch);
  }
  return ir::ParamMap::adopt_encoded(std::move(bytes));
}

Result<ir::InputsView, DecodeError> Reader::inputs(uint64_t limit) noexcept {
  auto count = u32();
  if (!count) return Err{count.error()};
  const char* ids = data_ + pos_;
  // Only the ids the blob actually holds are looked at; each is checked in
  // order before the shortfall, if any, is reported.
  uint64_t present = remaining() / 8;
  uint64_t n = count.value() < present ? count.value() : present;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t id;
    std::memcpy(&id, ids + 8 * i, 8);
    if (id >= limit) return Err{DecodeError::node_ref_out_of_range(id)};
  }
  if (n < count.value()) return Err{DecodeError::truncated()};
  pos_ += 8 * static_cast<size_t>(n);
  return ir::InputsView(ids, count.value());
}

// Shorthand for "return the error of a failed read".
#define NODALIS_TRY(var, expr)                 \
  auto var = (expr);                           \
  if (!var) return Err{var.error()}

namespace {

// A record's fields in layout order, each checked as it is read; the first
// failing check stops the walk with its error.
struct RecordFields {
  Reader& r;
  size_t start;
  uint64_t index;
  CheckedRecord rec = {};
  DecodeError error = DecodeError::truncated();
  uint32_t input_count = 0;

  uint32_t offset() const { return static_cast<uint32_t>(r.position() - start); }
  template <class T>
  bool check(const Result<T, DecodeError>& read) {
    if (!read) error = read.error();
    return read.ok();
  }
  bool text(ir::RecordText) { return check(r.string()); }
  bool presence(bool& present) {
    auto byte = r.u8();
    if (!check(byte)) return false;
    present = byte.value() != 0;
    if (present) rec.canonical = byte.value() == 1;
    return true;
  }
  bool params() {
    rec.view.params_off = offset();
    auto map = r.map();
    if (!check(map)) return false;
    rec.canonical = rec.canonical && map.value().canonical;
    rec.view.has_nan = map.value().has_nan;
    return true;
  }
  bool inputs() {
    rec.view.inputs_off = offset();
    auto inputs = r.inputs(index);
    if (!check(inputs)) return false;
    input_count = inputs.value().size();
    return true;
  }
  bool members() { return check(r.members(input_count)); }
};

}  // namespace

Result<CheckedRecord, DecodeError> Reader::record(uint64_t index) noexcept {
  const size_t start = pos_;
  NODALIS_TRY(tag, u8());
  if (!ir::is_node_kind(tag.value())) return Err{DecodeError::invalid_tag(TagField::Node, tag.value())};
  RecordFields fields{*this, start, index};
  if (!ir::walk_fields(static_cast<ir::NodeKind>(tag.value()), fields)) return Err{fields.error};
  fields.rec.view.bytes = since(start);
  return fields.rec;
}

// A Member argument must name an earlier member; an Input argument a
// position of the stage's input list, so that no consumer of the stage can
// read outside it.
Result<Unit, DecodeError> Reader::members(uint32_t input_count) noexcept {
  NODALIS_TRY(count, u32());
  for (uint32_t m = 0; m < count.value(); ++m) {
    NODALIS_TRY(token, string());
    NODALIS_TRY(arity, u32());
    for (uint32_t a = 0; a < arity.value(); ++a) {
      if (remaining() < ir::kStageRefSize) return Err{DecodeError::truncated()};
      uint8_t ref_tag = u8().value();
      uint32_t ref_index = u32().value();
      if (!ir::is_stage_ref_kind(ref_tag)) return Err{DecodeError::invalid_tag(TagField::StageRef, ref_tag)};
      const uint64_t limit = static_cast<ir::StageRefKind>(ref_tag) == ir::StageRefKind::Member ? m : input_count;
      if (ref_index >= limit) return Err{DecodeError::node_ref_out_of_range(ref_index)};
    }
  }
  return Unit{};
}

#undef NODALIS_TRY

bool Reader::plain_record_walk(uint64_t index, ir::RecordView& out, RecordShapes& shapes) noexcept {
  const char* const begin = data_ + pos_;
  const char* const end = data_ + size_;
  const char* p = begin;
  // Each step below first makes sure the bytes it reads are there; a
  // shortfall is no error here, only a record for the full checks.
  if (p == end) return false;
  const auto kind = static_cast<uint8_t>(*p++);
  bool plain = true;  // every text ASCII, every bool byte 0/1
  if (kind <= static_cast<uint8_t>(ir::NodeKind::Reduction)) {
    if (end - p < 4) return false;
    const uint32_t n = load_u32(p);
    p += 4;
    if (static_cast<size_t>(end - p) < n) return false;
    plain = ascii(p, n, end);
    p += n;
  } else if (kind != static_cast<uint8_t>(ir::NodeKind::Exchange)) {
    return false;
  }

  const auto params_off = static_cast<uint32_t>(p - begin);
  if (end - p < 4) return false;
  const uint32_t entries = load_u32(p);
  p += 4;
  bool has_nan = false;
  std::string_view prev_key;
  uint64_t prev_prefix = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    // Key length, key and tag byte.
    if (end - p < 5) return false;
    const uint32_t n = load_u32(p);
    p += 4;
    if (static_cast<size_t>(end - p) <= n) return false;
    const std::string_view key(p, n);
    uint64_t prefix;
    if (n <= 8 && end - p >= 8) {
      // One load serves the ASCII test and the order's prefix (key_before's).
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (n < 8) w &= (uint64_t{1} << (8 * n)) - 1;
      plain &= (w & 0x8080808080808080ull) == 0;
      prefix = __builtin_bswap64(w);
    } else {
      plain &= ascii(p, n, end);
      prefix = prefix8(key);
    }
    p += n;
    if (i > 0 && (prefix < prev_prefix || (prefix == prev_prefix && key_before(key, prev_key)))) return false;
    prev_key = key;
    prev_prefix = prefix;
    const auto tag = static_cast<uint8_t>(*p++);
    switch (tag) {
      case static_cast<uint8_t>(ir::ParamTag::Int):
        if (end - p < 8) return false;
        p += 8;
        break;
      case static_cast<uint8_t>(ir::ParamTag::Float): {
        if (end - p < 8) return false;
        uint64_t bits;
        std::memcpy(&bits, p, 8);
        p += 8;
        has_nan |= (bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull;
        break;
      }
      case static_cast<uint8_t>(ir::ParamTag::Bool):
        if (p == end) return false;
        plain &= static_cast<uint8_t>(*p) <= 1;
        ++p;
        break;
      case static_cast<uint8_t>(ir::ParamTag::Str): {
        if (end - p < 4) return false;
        const uint32_t len = load_u32(p);
        p += 4;
        if (static_cast<size_t>(end - p) < len) return false;
        plain &= ascii(p, len, end);
        p += len;
        break;
      }
      default:
        return false;
    }
  }

  uint32_t inputs_off = ir::detail::kNone;
  if (kind != static_cast<uint8_t>(ir::NodeKind::Source)) {
    inputs_off = static_cast<uint32_t>(p - begin);
    if (end - p < 4) return false;
    const uint32_t n = load_u32(p);
    p += 4;
    if (static_cast<size_t>(end - p) / 8 < n) return false;
    bool in_range = true;
    for (uint32_t i = 0; i < n; ++i) {
      uint64_t id;
      std::memcpy(&id, p + 8 * static_cast<size_t>(i), 8);
      in_range &= id < index;
    }
    if (!in_range) return false;
    p += 8 * static_cast<size_t>(n);
  }
  if (!plain) return false;

  out.bytes = std::string_view(begin, static_cast<size_t>(p - begin));
  out.params_off = params_off;
  out.inputs_off = inputs_off;
  out.has_nan = has_nan;
  pos_ = static_cast<size_t>(p - data_);
  shapes.learn(out, end);
  return true;
}

}  // namespace nodalis::blob
