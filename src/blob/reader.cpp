// Bounds-checked reads of the blob's fixed-width integers, strings, maps and
// input lists. Loops never trust a count: each pass consumes bytes, so a
// forged count runs out of blob long before it runs out of iterations.
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

}  // namespace nodalis::blob
