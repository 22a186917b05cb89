// Encoding one node record into a reusable buffer, checking every length and
// count against the record's 32-bit fields as it goes.
#include "ir/node_record.h"

#include "ir/fault.h"
#include "ir/le_bytes.h"

namespace nodalis::ir {

namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFFull;

[[noreturn]] void too_large(const char* what) {
  throw CapacityError(std::string("node key too large: ") + what + " must be below 2^32");
}

void put_u32(std::string& out, uint32_t v) {
  char b[4];
  le::put_u32(b, v);
  out.append(b, 4);
}

}  // namespace

void NodeRecord::start(NodeKind kind) {
  bytes_.clear();
  bytes_.push_back(static_cast<char>(kind));
  params_off_ = detail::kNone;
  inputs_off_ = detail::kNone;
  has_nan_ = false;
}

void NodeRecord::str(std::string_view s) {
  if (s.size() > kMax32) too_large("string lengths");
  put_u32(bytes_, static_cast<uint32_t>(s.size()));
  bytes_.append(s.data(), s.size());
}

void NodeRecord::params(ParamMapView map, bool has_nan) {
  if (bytes_.size() > kMax32) too_large("records");
  params_off_ = static_cast<uint32_t>(bytes_.size());
  const std::string_view e = map.encoded();
  bytes_.append(e.data(), e.size());
  has_nan_ = has_nan;
}

void NodeRecord::inputs(std::span<const NodeId> ids) {
  if (ids.size() > kMax32) too_large("input counts");
  if (bytes_.size() > kMax32) too_large("records");
  inputs_off_ = static_cast<uint32_t>(bytes_.size());
  const size_t at = bytes_.size();
  bytes_.resize(at + 4 + 8 * ids.size());
  char* p = le::put_u32(bytes_.data() + at, static_cast<uint32_t>(ids.size()));
  for (NodeId id : ids) p = le::put_u64(p, id);
}

RecordView NodeRecord::view() const {
  if (bytes_.size() > kMax32) too_large("records");
  return {bytes_, params_off_, inputs_off_, has_nan_};
}

void NodeRecord::trim(size_t limit) noexcept {
  if (bytes_.capacity() > limit) std::string().swap(bytes_);
}

}  // namespace nodalis::ir
