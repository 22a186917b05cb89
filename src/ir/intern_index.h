// InternIndex: the store's interning table, in the probing design of
// base/control_bytes.h over two parallel arrays: one control byte per slot
// (empty, or 8 bits of the key's seeded hash) and the slot's node id. The keys themselves stay in
// the store's node list, so each key is held once. A lookup for a new node
// (the common case while building) reads only tags, an array an eighth the
// size of the table that stays in cache far longer; the id array is read on a
// tag match and otherwise only written.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/control_bytes.h"
#include "base/large_pages.h"
#include "ir/node_key.h"

namespace nodalis::ir {

class InternIndex {
 public:
  InternIndex();  // a seed of its own (table_seed)
  ~InternIndex();
  InternIndex(const InternIndex&) = delete;
  InternIndex& operator=(const InternIndex&) = delete;

  uint64_t seed() const noexcept { return seed_; }
  // Id of a key equal to `key` among `nodes`, or kNotFound. `hash` is
  // record_hash(key, seed()).
  static constexpr uint64_t kNotFound = ~uint64_t{0};
  uint64_t find(const RecordView& key, uint64_t hash, const NodeKey* nodes) const noexcept;
  // Where a lookup that found nothing stopped: the empty slot the key would
  // take, valid while the table keeps that capacity.
  struct Miss {
    size_t slot = 0;
    size_t capacity = 0;
  };
  // find that also notes the miss, so that inserting the new key right after
  // needs no second probe. Inline: every interning call takes it.
  uint64_t find(const RecordView& key, uint64_t hash, const NodeKey* nodes, Miss& miss) const noexcept {
    miss.capacity = capacity_;
    if (capacity_ == 0) return kNotFound;
    const control::Probe p = control::probe(tags_, capacity_, static_cast<uint32_t>(hash >> 32), [&](size_t i) {
      return records_equal(nodes[ids_[i]].view(), key);
    });
    if (p.found) return ids_[p.slot];
    miss.slot = p.slot;
    return kNotFound;
  }
  // Starts loading the tags and the ids where a lookup of `hash` begins, so
  // that the two cache misses overlap each other and taking the store's lock.
  // The ids are asked for writing: an insert writes there, and releasing the
  // lock would otherwise wait for that line. Safe without the lock: it reads
  // only the hints below, and a stale hint merely prefetches the wrong line
  // (prefetches never fault). Inline: every interning call takes it.
  void prefetch(uint64_t hash) const noexcept {
    const size_t capacity = hint_capacity_.load(std::memory_order_relaxed);
    const uint8_t* tags = hint_tags_.load(std::memory_order_relaxed);
    const uint32_t* ids = hint_ids_.load(std::memory_order_relaxed);
    if (tags == nullptr || ids == nullptr || capacity == 0) return;
    const size_t i = control::home(static_cast<uint32_t>(hash >> 32), capacity);
    __builtin_prefetch(tags + i);
    __builtin_prefetch(ids + i, 1);
  }
  // The same under the store's lock, for the tags and the ids both: the ids
  // are written by an insert and would otherwise miss too.
  void prefetch_home(uint64_t hash) const noexcept {
    if (capacity_ == 0) return;
    const size_t i = control::home(static_cast<uint32_t>(hash >> 32), capacity_);
    __builtin_prefetch(tags_ + i);
    __builtin_prefetch(ids_ + i, 1);
  }
  // Makes room for one more insert so that insert cannot fail afterwards;
  // may throw std::bad_alloc before changing anything. The check is one
  // compare against a bound kept up to date by whatever changes the room.
  void reserve_one() {
    if (hashes_.size() < room_) [[likely]] return;
    make_room_for_one();
  }
  // Room for `keys` keys in all at once, for a caller that knows how many
  // are coming; may throw std::bad_alloc before changing anything.
  void reserve(uint64_t keys);
  // Records that node `id` (with that hash) is interned; ids come in order
  // 0, 1, 2, ... Call reserve_one (or reserve) first: this never allocates.
  void insert(uint64_t id, uint64_t hash) noexcept;
  // insert into the slot `miss` noted for this hash, unless the table has
  // grown since (then it probes afresh).
  void insert(uint64_t id, uint64_t hash, const Miss& miss) noexcept {
    if (miss.capacity != capacity_ || capacity_ == 0) return insert(id, hash);
    const auto hi = static_cast<uint32_t>(hash >> 32);
    hashes_.push_back(hi);  // never reallocates: reserve_one or reserve made room
    // Nothing was placed since the miss (the store's lock is held throughout),
    // so the probe would end at the same empty slot.
    tags_[miss.slot] = control::mark(hi);
    ids_[miss.slot] = static_cast<uint32_t>(id);
  }

  // Filling a whole graph at once: append notes the next node's hash without
  // placing it (reserve room first), and place_appended then places every
  // node noted so far into the empty table in table order, front to back,
  // instead of at random: true, or false on the first two equal nodes, with
  // the table left for clear(). `nodes` holds the nodes by id.
  void reserve_hashes(uint64_t keys) {
    if (keys > hashes_.capacity()) hashes_.reserve(std::max<size_t>(keys, 2 * hashes_.capacity()));
    update_room();
  }
  // A caller that has reserved room for the whole graph calls begin_appends
  // first: appending then also counts the nodes per home region, which
  // spares place_appended a pass over the hashes.
  void begin_appends();
  void append(uint64_t hash) noexcept {
    const auto hi = static_cast<uint32_t>(hash >> 32);
    hashes_.push_back(hi);
    if (region_shift_ < 32) ++region_counts_[hi >> region_shift_];
  }
  bool place_appended(const NodeKey* nodes);
  // Forgets every node, keeping the memory.
  void clear() noexcept;

 private:
  void place(uint32_t id, uint32_t hash_hi) noexcept;
  void grow_to(size_t capacity);  // a power of two above the current one
  void make_room_for_one();       // reserve_one's growth
  void update_room() noexcept;    // recomputes room_ after a change of either capacity

  uint8_t* tags_ = nullptr;  // 0 = empty, else control::mark of the hash
  uint32_t* ids_ = nullptr;
  size_t capacity_ = 0;  // slots: a power of two, or 0
  // 32 bits of each node's hash, by id: growth re-places nodes from these in
  // id order without touching a key.
  std::vector<uint32_t, LargePageAllocator<uint32_t>> hashes_;
  // Appended nodes per region of the top 32 - region_shift_ hash bits, kept
  // while region_shift_ < 32 (from begin_appends to place_appended).
  std::vector<uint32_t> region_counts_;
  int region_shift_ = 32;
  // Nodes the table and hashes_ both take without growing: below 3/4 of the
  // slots (which keeps probe runs short) and within hashes_'s capacity.
  size_t room_ = 0;
  uint64_t seed_;
  std::atomic<const uint8_t*> hint_tags_{nullptr};
  std::atomic<const uint32_t*> hint_ids_{nullptr};
  std::atomic<size_t> hint_capacity_{0};
};

}  // namespace nodalis::ir
