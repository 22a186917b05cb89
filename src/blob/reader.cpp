// Bounds-checked reads of the blob's fixed-width integers, strings, maps and
// input lists. Loops never trust a count: each pass consumes bytes, so a
// forged count runs out of blob long before it runs out of iterations.
#include "blob/reader.h"

#include <cstring>
#include <string>

#include "blob/canonical_record.h"

namespace nodalis::blob {

Result<MapSpan, DecodeError> Reader::map() noexcept {
  size_t start = pos_;
  auto count = u32();
  if (!count) return Err{count.error()};
  bool canonical = true;
  std::string_view prev_key;
  for (uint32_t i = 0; i < count.value(); ++i) {
    auto key = string();
    if (!key) return Err{key.error()};
    if (i > 0 && key.value() < prev_key) canonical = false;
    prev_key = key.value();
    auto tag = u8();
    if (!tag) return Err{tag.error()};
    switch (tag.value()) {
      case 0:
      case 1:
        if (remaining() < 8) return Err{DecodeError::truncated()};
        pos_ += 8;
        break;
      case 2: {
        auto b = u8();
        if (!b) return Err{b.error()};
        if (b.value() > 1) canonical = false;
        break;
      }
      case 3: {
        auto s = string();
        if (!s) return Err{s.error()};
        break;
      }
      default:
        return Err{DecodeError::invalid_tag(TagField::Param, tag.value())};
    }
  }
  return MapSpan{since(start), canonical};
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
