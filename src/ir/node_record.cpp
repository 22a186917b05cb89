// Encoding one node record into a buffer that starts inline, checking every
// length and count against the record's 32-bit fields as it goes. The field
// order is record_layout.h's; this file only writes each field.
#include "ir/node_record.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/fault.h"

namespace nodalis::ir {

void NodeRecord::too_large(const char* what) {
  throw CapacityError(std::string("node key too large: ") + what + " must be below 2^32");
}

NodeRecord::NodeRecord() noexcept : data_(inline_) {}

void NodeRecord::grow(size_t n) {
  // Offsets are 32-bit, so a record past that can never be stored anyway.
  if (n > kMax32 || size_ > kMax32) too_large("records");
  const size_t capacity = std::max(2 * capacity_, size_ + n);
  auto grown = std::make_unique<char[]>(capacity);
  std::memcpy(grown.get(), data_, size_);
  heap_ = std::move(grown);
  data_ = heap_.get();
  capacity_ = capacity;
}

void NodeRecord::params() {
  if (params_->encoded_) {
    const std::string_view e = params_->map_.encoded();
    char* p = extend(e.size());
    view_.params_off = static_cast<uint32_t>(p - data_);
    std::memcpy(p, e.data(), e.size());
    view_.has_nan = params_->has_nan_;
    return;
  }
  const std::span<ParamEntryRef> entries = params_->entries_;
  const size_t size = encoded_size(entries);
  if (entries.size() > 1) sort_entries(entries);
  char* p = extend(size);
  view_.params_off = static_cast<uint32_t>(p - data_);
  encode_entries(entries, p);
  // The NaN test inline: this runs for every node built from Python.
  bool nan = false;
  for (const ParamEntryRef& e : entries) {
    constexpr uint64_t kExponent = 0x7FF0000000000000ull;
    nan |= e.value.tag == ParamTag::Float && (e.value.bits & ~(uint64_t{1} << 63)) > kExponent;
  }
  view_.has_nan = nan;
}

void NodeRecord::members(std::span<const StageOp> members) {
  if (members.size() > kMax32) too_large("member counts");
  le::put_u32(extend(4), static_cast<uint32_t>(members.size()));
  for (const StageOp& m : members) {
    str(m.token);
    if (m.inputs.size() > kMax32) too_large("member arities");
    le::put_u32(extend(4), static_cast<uint32_t>(m.inputs.size()));
    for (const StageRef& r : m.inputs) {
      if (r.index > kMax32) too_large("stage reference indexes");
      char* p = extend(kStageRefSize);
      *p = static_cast<char>(r.kind);
      le::put_u32(p + 1, static_cast<uint32_t>(r.index));
    }
  }
}

}  // namespace nodalis::ir
