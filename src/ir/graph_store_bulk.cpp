// Bulk interning for callers that add a whole graph at once (the blob
// decoder). One lock for a run of keys, and the interning table's slots are
// prefetched a few keys ahead, so that their cache misses overlap instead of
// adding up.
#include <algorithm>
#include <vector>

#include "ir/graph_store.h"
#include "ir/store_guard.h"

namespace nodalis::ir {

namespace {
// Index slots hold id + 1 in 32 bits, with 0 meaning empty (as in intern).
constexpr uint64_t kMaxNodes = 0xFFFFFFFEull;
// How far ahead slots are prefetched: enough keys to cover a cache miss.
constexpr size_t kAhead = 8;
}  // namespace

void InternIndex::reserve(uint64_t keys) {
  // The same 3/4 load bound as reserve_one.
  size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (keys * 4 > capacity * 3) capacity *= 2;
  if (capacity == slots_.size()) return;
  std::vector<Slot> grown(capacity, Slot{0, 0});
  const size_t mask = capacity - 1;
  for (const Slot s : slots_) {
    if (s.id_plus1 == 0) continue;
    size_t i = static_cast<size_t>((static_cast<uint64_t>(s.hash_hi) * capacity) >> 32);
    while (grown[i].id_plus1 != 0) i = (i + 1) & mask;
    grown[i] = s;
  }
  slots_.swap(grown);
}

void GraphStore::reserve(uint64_t nodes) {
  Guard guard(*this);
  guard.run([&] {
    const uint64_t capped = std::min(nodes, kMaxNodes);
    if (capped > nodes_.capacity()) nodes_.reserve(static_cast<size_t>(capped));
    index_.reserve(capped);
  });
}

Result<size_t, BadNodeId> GraphStore::intern_until_merge(std::span<NodeKey> keys, std::span<NodeId> ids) {
  const uint64_t seed = index_.seed();
  uint64_t hashes[kAhead];
  const size_t n = std::min(keys.size(), ids.size());
  Guard guard(*this);
  return guard.run([&]() -> Result<size_t, BadNodeId> {
    for (size_t j = 0; j < std::min(n, kAhead); ++j) {
      hashes[j] = keys[j].hash(seed);
      index_.prefetch(hashes[j]);
    }
    for (size_t j = 0; j < n; ++j) {
      const uint64_t h = hashes[j % kAhead];
      if (j + kAhead < n) {
        hashes[j % kAhead] = keys[j + kAhead].hash(seed);
        index_.prefetch(hashes[j % kAhead]);
      }
      NodeKey& key = keys[j];
      const uint64_t count = nodes_.size();
      for (NodeId id : key.inputs()) {
        if (id >= count) return Err{BadNodeId{id}};
      }
      const uint64_t found = index_.find(key, h, nodes_);
      if (found != InternIndex::kNotFound) {
        ids[j] = found;
        return j + 1;
      }
      if (count >= kMaxNodes) throw CapacityError("store full: node count must stay below 2^32 - 1");
      // Memory first, as in intern, so that running out of it changes nothing.
      if (nodes_.size() == nodes_.capacity()) nodes_.reserve(std::max<size_t>(16, nodes_.capacity() * 2));
      index_.reserve_one(nodes_);
      nodes_.push_back(std::move(key));
      index_.insert(count, h, nodes_);
      ids[j] = count;
    }
    return n;
  });
}

}  // namespace nodalis::ir
