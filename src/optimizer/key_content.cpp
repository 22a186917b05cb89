// Equality of keys apart from their inputs, NaN payloads included.
#include "optimizer/key_content.h"

#include <vector>

namespace nodalis::opt {

bool same_apart_from_inputs(const ir::NodeKey& a, const ir::NodeKey& b) {
  if (a.kind() != b.kind()) return false;
  if (content_bytes(a) == content_bytes(b)) return true;
  // NaN payloads may differ in their bytes and still be equal.
  if (!a.has_nan() && !b.has_nan()) return false;
  std::vector<ir::NodeId> ins = b.inputs().to_vector();
  return a.with_inputs(ins) == b;
}

}  // namespace nodalis::opt
