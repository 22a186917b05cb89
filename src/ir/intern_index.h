// InternIndex: the store's interning table. Open addressing with linear
// probing over 8-byte slots (node id + 1, 32 bits of the key's seeded hash);
// the keys themselves stay in the store's node list, so each key is held once.
#pragma once

#include <cstdint>
#include <vector>

#include "ir/node_key.h"

namespace nodalis::ir {

class InternIndex {
 public:
  InternIndex();  // random seed
  uint64_t seed() const noexcept { return seed_; }
  // Id of a key equal to `key` among `nodes`, or kNotFound. `hash` is
  // key.hash(seed()).
  static constexpr uint64_t kNotFound = ~uint64_t{0};
  uint64_t find(const NodeKey& key, uint64_t hash, const std::vector<NodeKey>& nodes) const noexcept;
  // Records that nodes[id] (with that hash) is interned. Grows as needed;
  // may throw std::bad_alloc before changing anything.
  void insert(uint64_t id, uint64_t hash, const std::vector<NodeKey>& nodes);
  // Makes room for one more insert so that insert cannot fail afterwards.
  void reserve_one(const std::vector<NodeKey>& nodes);
  // Grows the table at once to hold `keys` keys in all, for a bulk caller
  // that knows how many are coming; may throw std::bad_alloc first.
  void reserve(uint64_t keys);
  // Starts loading the home slot of `hash` into the cache, for a bulk caller
  // that will look it up a few keys later.
  void prefetch(uint64_t hash) const noexcept {
    if (slots_.empty()) return;
    const uint64_t hi = hash >> 32;
    __builtin_prefetch(&slots_[static_cast<size_t>((hi * slots_.size()) >> 32)]);
  }

 private:
  struct Slot {
    uint32_t id_plus1;  // 0 = empty
    uint32_t hash_hi;
  };
  std::vector<Slot> slots_;
  uint64_t used_ = 0;
  uint64_t seed_;
};

}  // namespace nodalis::ir
