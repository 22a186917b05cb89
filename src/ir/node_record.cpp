// Encoding one node record into a buffer that starts inline: every length and
// count is checked against the record's 32-bit fields before a byte is
// written. The field order is record_layout.h's; this file only writes fields.
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

void NodeRecord::grow(uint64_t size) {
  // Offsets are 32-bit, so a record past that can never be stored anyway.
  if (size > kMax32) too_large("records");
  const size_t capacity = std::max<size_t>(2 * capacity_, size);
  heap_ = std::make_unique<char[]>(capacity);
  data_ = heap_.get();
  capacity_ = capacity;
}

bool NodeRecord::Sizer::members() {
  const std::span<const StageOp> members = fields.members;
  count(members.size(), "member counts");
  for (const StageOp& m : members) {
    count(m.token.size(), "string lengths");
    n += m.token.size();
    count(m.inputs.size(), "member arities");
    for (const StageRef& r : m.inputs)
      if (r.index > kMax32) too_large("stage reference indexes");
    n += kStageRefSize * uint64_t{m.inputs.size()};
  }
  return true;
}

bool NodeRecord::Writer::members() {
  at = le::put_u32(at, static_cast<uint32_t>(fields.members.size()));
  for (const StageOp& m : fields.members) {
    at = le::put_u32(at, static_cast<uint32_t>(m.token.size()));
    if (!m.token.empty()) std::memcpy(at, m.token.data(), m.token.size());
    at += m.token.size();
    at = le::put_u32(at, static_cast<uint32_t>(m.inputs.size()));
    for (const StageRef& r : m.inputs) {
      *at = static_cast<char>(r.kind);
      le::put_u32(at + 1, static_cast<uint32_t>(r.index));
      at += kStageRefSize;
    }
  }
  return true;
}

}  // namespace nodalis::ir
