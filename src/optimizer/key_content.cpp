// Content of a key apart from its inputs, read straight from its record.
#include "optimizer/key_content.h"

#include <vector>

namespace nodalis::opt {

std::string_view content_bytes(const ir::NodeKey& key) noexcept {
  std::string_view rec = key.record();
  if (key.kind() == ir::NodeKind::Source) return rec;
  size_t list = 4 + 8 * static_cast<size_t>(key.inputs().size());
  if (key.kind() == ir::NodeKind::Stage) return rec.substr(1 + list);
  return rec.substr(0, rec.size() - list);
}

bool same_apart_from_inputs(const ir::NodeKey& a, const ir::NodeKey& b) {
  if (a.kind() != b.kind()) return false;
  if (content_bytes(a) == content_bytes(b)) return true;
  // NaN payloads may differ in their bytes and still be equal.
  if (!a.has_nan() && !b.has_nan()) return false;
  std::vector<ir::NodeId> ins = b.inputs().to_vector();
  return a.with_inputs(ins) == b;
}

}  // namespace nodalis::opt
