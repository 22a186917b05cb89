// Marking many outputs at once. mark_output keeps the marks duplicate-free
// with a scan, which is quadratic over a long list (a blob may carry millions
// of output ids); here a bitmap over the node ids replaces the scans.
#include <vector>

#include "ir/graph_store.h"
#include "ir/store_guard.h"

namespace nodalis::ir {

Result<Unit, BadNodeId> GraphStore::mark_outputs(std::span<const NodeId> ids) {
  Guard guard(*this);
  return guard.run([&]() -> Result<Unit, BadNodeId> {
    const uint64_t n = nodes_.size();
    for (NodeId id : ids) {
      if (id >= n) return Err{BadNodeId{id}};
    }
    // Memory first, so that running out of it changes nothing.
    std::vector<bool> marked(n, false);
    outputs_.reserve(outputs_.size() + ids.size());
    for (NodeId id : outputs_) marked[id] = true;
    for (NodeId id : ids) {
      if (!marked[id]) {
        marked[id] = true;
        outputs_.push_back(id);
      }
    }
    return Unit{};
  });
}

}  // namespace nodalis::ir
