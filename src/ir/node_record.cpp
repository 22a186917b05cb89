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

}  // namespace nodalis::ir
