// Learning a record's shape: which of its bytes every record of the same
// layout shares (all but the int and float payloads and the input ids), and
// where the floats and ids are. Shapes are kept per set in recency order.
#include "blob/record_shapes.h"

#include <cstring>

#include "base/le_bytes.h"
#include "ir/param_value.h"

namespace nodalis::blob {

void RecordShapes::learn(const ir::RecordView& record, const char* end) noexcept {
  const char* p = record.bytes.data();
  const size_t prefix = record.inputs_off != ir::detail::kNone ? record.inputs_off : record.bytes.size();
  // Matching reads 64 bytes, so a record with fewer after it is never
  // matched (and set_of below could not read it); an input count must lie
  // within them too, as nothing but those 64 bytes is known to be there.
  const size_t checked = record.inputs_off != ir::detail::kNone ? prefix + 4 : prefix;
  if (checked > kPrefix || misses_ > kMaxMisses || end - p < static_cast<std::ptrdiff_t>(kPrefix)) return;
  Shape s;
  unsigned char keep[kPrefix] = {};
  std::memset(keep, 0xFF, prefix);
  s.float_count = 0;
  std::memset(s.floats, 0, sizeof s.floats);
  if (record.params_off != ir::detail::kNone) {
    size_t at = record.params_off;
    const uint32_t entries = le::u32(p + at);
    at += 4;
    for (uint32_t e = 0; e < entries; ++e) {
      at += 4 + le::u32(p + at);  // the key
      const auto tag = static_cast<ir::ParamTag>(p[at++]);
      switch (tag) {
        case ir::ParamTag::Float:
          if (s.float_count == kMaxFloats) return;
          s.floats[s.float_count++] = static_cast<uint8_t>(at);
          [[fallthrough]];
        case ir::ParamTag::Int:
          std::memset(keep + at, 0, 8);
          at += 8;
          break;
        case ir::ParamTag::Bool:
          at += 1;
          break;
        case ir::ParamTag::Str:
          at += 4 + le::u32(p + at);
          break;
      }
    }
  }
  std::memset(s.bytes, 0, sizeof s.bytes);
  std::memcpy(s.bytes, p, prefix);
  std::memcpy(s.keep, keep, sizeof s.keep);
  s.prefix = static_cast<uint32_t>(prefix);
  s.params_off = record.params_off;
  s.inputs_off = record.inputs_off;
  const bool inputs = record.inputs_off != ir::detail::kNone;
  s.count_at = inputs ? record.inputs_off : 0;
  s.count_mask = inputs ? ~uint32_t{0} : 0;
  // The newest shape first in its set; the oldest drops out.
  Shape* set = &shapes_[set_of(p) * kWays];
  for (size_t way = kWays - 1; way > 0; --way) set[way] = set[way - 1];
  set[0] = s;
}

}  // namespace nodalis::blob
