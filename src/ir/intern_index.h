// InternIndex: the store's interning table. Open addressing with linear
// probing over 8-byte slots (node id + 1, 32 bits of the key's seeded hash);
// the keys themselves stay in the store's node list, so each key is held once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ir/node_key.h"

namespace nodalis::ir {

class InternIndex {
 public:
  InternIndex();  // random seed
  ~InternIndex();
  InternIndex(const InternIndex&) = delete;
  InternIndex& operator=(const InternIndex&) = delete;

  uint64_t seed() const noexcept { return seed_; }
  // Id of a key equal to `key` among `nodes`, or kNotFound. `hash` is
  // record_hash(key, seed()).
  static constexpr uint64_t kNotFound = ~uint64_t{0};
  uint64_t find(const RecordView& key, uint64_t hash, const NodeKey* nodes) const noexcept;
  // Starts loading the slot where a lookup of `hash` begins, so that the
  // cache miss (the table is large and probed at random) overlaps taking the
  // store's lock. Safe without the lock: it reads only the two hints below,
  // and a stale hint merely prefetches the wrong line (prefetches never fault).
  void prefetch(uint64_t hash) const noexcept;
  // Makes room for one more insert so that insert cannot fail afterwards;
  // may throw std::bad_alloc before changing anything.
  void reserve_one();
  // Records that node `id` (with that hash) is interned. Call reserve_one
  // first: this never allocates.
  void insert(uint64_t id, uint64_t hash) noexcept;

 private:
  struct Slot {
    uint32_t id_plus1;  // 0 = empty
    uint32_t hash_hi;
  };
  Slot* slots_ = nullptr;
  size_t capacity_ = 0;  // a power of two, or 0
  uint64_t used_ = 0;
  uint64_t seed_;
  std::atomic<const Slot*> hint_slots_{nullptr};
  std::atomic<size_t> hint_capacity_{0};
};

}  // namespace nodalis::ir
