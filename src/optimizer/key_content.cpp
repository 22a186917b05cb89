// Content of a key apart from its inputs, read straight from its record.
#include "optimizer/key_content.h"

#include <vector>

namespace nodalis::opt {

std::string_view content_bytes(const ir::NodeKey& key) noexcept {
  const ir::RecordView view = key.view();
  if (view.inputs_off == ir::detail::kNone) return view.bytes;
  const size_t list_end = view.inputs_off + 4 + 8 * static_cast<size_t>(key.inputs().size());
  // The list ends the record, or (a stage's) the members follow it.
  if (list_end == view.bytes.size()) return view.bytes.substr(0, view.inputs_off);
  return view.bytes.substr(list_end);
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
