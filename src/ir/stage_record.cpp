// The slow paths of StageRecordWriter: growing its buffer, refusing a record
// that 32-bit lengths cannot describe, and writing a record from owned members.
#include "ir/stage_record.h"

#include <algorithm>
#include <string>

#include "base/fault.h"

namespace nodalis::ir {

void StageRecordWriter::too_large(const char* what) {
  throw CapacityError(std::string("node key too large: ") + what + " must be below 2^32");
}

void StageRecordWriter::grow(size_t n) {
  if (fixed_) throw InternalFault("stage record longer than its counted size");
  if (n > kMax32 || size_ > kMax32) too_large("records");
  const size_t capacity = std::max(2 * capacity_, size_ + n);
  // Every byte up to size_ is copied and every later one is written before
  // it is read, so the new buffer needs no zeroing.
  std::unique_ptr<char[]> bigger = std::make_unique_for_overwrite<char[]>(capacity);
  // Only begin() and member() grow, and both set refs_at_ after taking
  // room, so no pointer into the old buffer outlives it.
  std::memcpy(bigger.get(), data_, size_);
  heap_ = std::move(bigger);
  data_ = heap_.get();
  capacity_ = capacity;
  own_capacity_ = capacity;
}

void StageRecordWriter::write(std::span<const NodeId> inputs, std::span<const StageOp> members) {
  begin(inputs, members.size());
  for (const StageOp& m : members) {
    member(m.token, m.inputs.size());
    for (const StageRef& r : m.inputs) {
      if (r.index > kMax32) too_large("stage reference indexes");
      ref(r.kind, static_cast<uint32_t>(r.index));
    }
  }
}

}  // namespace nodalis::ir
