// The interning graph store: hash-consing with inputs checked against the
// current node count, marked outputs, and snapshots that share the immutable
// keys.
#include "ir/graph_store.h"

#include <algorithm>

#include "ir/fault.h"
#include "ir/store_guard.h"

namespace nodalis::ir {

namespace {
// Index slots hold id + 1 in 32 bits, with 0 meaning empty.
constexpr uint64_t kMaxNodes = 0xFFFFFFFEull;
}  // namespace

GraphStore::GraphStore() = default;

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  // The seed never changes, so the hash is taken before the lock.
  const uint64_t h = key.hash(index_.seed());
  Guard guard(*this);
  return guard.run([&]() -> Result<NodeId, BadNodeId> {
    const uint64_t n = nodes_.size();
    for (NodeId id : key.inputs()) {
      if (id >= n) return Err{BadNodeId{id}};
    }
    const uint64_t found = index_.find(key, h, nodes_);
    if (found != InternIndex::kNotFound) return found;
    if (n >= kMaxNodes) throw CapacityError("store full: node count must stay below 2^32 - 1");
    // Take all memory first so that a failed allocation leaves the store as
    // it was; after these two calls nothing below can throw.
    if (nodes_.size() == nodes_.capacity()) nodes_.reserve(std::max<size_t>(16, nodes_.capacity() * 2));
    index_.reserve_one(nodes_);
    nodes_.push_back(std::move(key));
    index_.insert(n, h, nodes_);
    return n;
  });
}

Result<Unit, BadNodeId> GraphStore::mark_output(NodeId id) {
  Guard guard(*this);
  return guard.run([&]() -> Result<Unit, BadNodeId> {
    if (id >= nodes_.size()) return Err{BadNodeId{id}};
    if (id < marked_.size() && marked_[id]) return Unit{};
    // Grow both first so that a failed allocation changes nothing.
    if (id >= marked_.size()) marked_.resize(std::max<size_t>(id + 1, marked_.size() * 2));
    if (outputs_.size() == outputs_.capacity()) outputs_.reserve(std::max<size_t>(8, outputs_.capacity() * 2));
    outputs_.push_back(id);
    marked_[id] = true;
    return Unit{};
  });
}

std::vector<NodeId> GraphStore::outputs() const {
  Guard guard(*this);
  return guard.run([&] { return outputs_; });
}

uint64_t GraphStore::node_count() const {
  Guard guard(*this);
  return nodes_.size();
}

StoreSnapshot GraphStore::snapshot() const {
  Guard guard(*this);
  return guard.run([&] { return StoreSnapshot{nodes_, outputs_}; });
}

std::vector<NodeKey> GraphStore::snapshot_from(uint64_t start) const {
  Guard guard(*this);
  return guard.run([&] {
    const auto begin = nodes_.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(start, nodes_.size()));
    return std::vector<NodeKey>(begin, nodes_.end());
  });
}

std::vector<NodeKey> GraphStore::nodes() const {
  Guard guard(*this);
  return guard.run([&] { return nodes_; });
}

}  // namespace nodalis::ir
