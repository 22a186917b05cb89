// The slow paths of StageRecordWriter: growing its buffer and refusing a
// record that 32-bit lengths cannot describe.
#include "optimizer/stage_record.h"

#include <algorithm>
#include <string>

#include "base/fault.h"

namespace nodalis::opt {

void StageRecordWriter::too_large(const char* what) {
  throw CapacityError(std::string("node key too large: ") + what + " must be below 2^32");
}

void StageRecordWriter::grow(size_t n) {
  if (n > kMax32 || size_ > kMax32) too_large("records");
  buf_.resize(std::max<size_t>({256, 2 * buf_.size(), size_ + n}));
}

}  // namespace nodalis::opt
