// The store's interning table. The home slot comes from the high bits of the
// key's hash and the tag from its low bits, both kept per node, so growing
// the table re-places nodes without touching (or rehashing) a single key.
#include "ir/intern_index.h"

#include <algorithm>
#include <utility>

#include "ir/table_seed.h"

namespace nodalis::ir {

namespace {

constexpr size_t kFirstCapacity = 16;

// Home slot: the high hash bits scaled onto the table (a power of two). The
// scaling keeps slots in hash order, so growth reads the old table and writes
// the new one front to back.
size_t home(uint32_t hash_hi, size_t capacity) noexcept {
  return static_cast<size_t>((static_cast<uint64_t>(hash_hi) * capacity) >> 32);
}

uint8_t tag_of(uint32_t hash_hi) noexcept { return static_cast<uint8_t>(0x80 | (hash_hi & 0x7F)); }

}  // namespace

InternIndex::InternIndex() : seed_(table_seed()) {}

InternIndex::~InternIndex() {
  release_zeroed(tags_, capacity_);
  release_zeroed(ids_, capacity_ * sizeof(uint32_t));
}

uint64_t InternIndex::find(const RecordView& key, uint64_t hash, const NodeKey* nodes) const noexcept {
  Miss miss;
  return find(key, hash, nodes, miss);
}

uint64_t InternIndex::find(const RecordView& key, uint64_t hash, const NodeKey* nodes, Miss& miss) const noexcept {
  miss.capacity = capacity_;
  if (capacity_ == 0) return kNotFound;
  const auto hi = static_cast<uint32_t>(hash >> 32);
  const uint8_t tag = tag_of(hi);
  const size_t mask = capacity_ - 1;
  for (size_t i = home(hi, capacity_);; i = (i + 1) & mask) {
    const uint8_t t = tags_[i];
    if (t == 0) {
      miss.slot = i;
      return kNotFound;
    }
    if (t == tag && records_equal(nodes[ids_[i]].view(), key)) return ids_[i];
  }
}

void InternIndex::prefetch(uint64_t hash) const noexcept {
  const size_t capacity = hint_capacity_.load(std::memory_order_relaxed);
  const uint8_t* tags = hint_tags_.load(std::memory_order_relaxed);
  if (tags != nullptr && capacity != 0) __builtin_prefetch(tags + home(static_cast<uint32_t>(hash >> 32), capacity));
}

void InternIndex::place(uint32_t id, uint32_t hash_hi) noexcept {
  const size_t mask = capacity_ - 1;
  size_t i = home(hash_hi, capacity_);
  while (tags_[i] != 0) i = (i + 1) & mask;
  tags_[i] = tag_of(hash_hi);
  ids_[i] = id;
}

void InternIndex::reserve_one() {
  const size_t used = hashes_.size();
  if (used == hashes_.capacity()) hashes_.reserve(std::max<size_t>(16, 2 * used));
  // Load factor at most 3/4 keeps probe runs short.
  if ((used + 1) * 4 <= capacity_ * 3) return;
  grow_to(capacity_ == 0 ? kFirstCapacity : capacity_ * 2);
}

void InternIndex::reserve(uint64_t keys) {
  size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
  while (keys * 4 > capacity * 3) capacity *= 2;
  if (keys > hashes_.capacity()) hashes_.reserve(keys);
  if (capacity != capacity_) grow_to(capacity);
}

void InternIndex::grow_to(size_t capacity) {
  // The only steps that may throw; the memory comes zeroed (all slots empty).
  auto* tags = static_cast<uint8_t*>(allocate_zeroed(capacity));
  uint32_t* ids;
  try {
    ids = static_cast<uint32_t*>(allocate_zeroed(capacity * sizeof(uint32_t)));
  } catch (...) {
    release_zeroed(tags, capacity);
    throw;
  }
  uint8_t* old_tags = std::exchange(tags_, tags);
  uint32_t* old_ids = std::exchange(ids_, ids);
  const size_t old_capacity = std::exchange(capacity_, capacity);
  // Walking the old slots in order visits nodes in home order, and home
  // positions keep their order when the table doubles: the new table is
  // written front to back, not at random.
  for (size_t k = 0; k < old_capacity; ++k) {
    if (old_tags[k] != 0) place(old_ids[k], hashes_[old_ids[k]]);
  }
  release_zeroed(old_tags, old_capacity);
  release_zeroed(old_ids, old_capacity * sizeof(uint32_t));
  hint_tags_.store(tags, std::memory_order_relaxed);
  hint_capacity_.store(capacity, std::memory_order_relaxed);
}

void InternIndex::insert(uint64_t id, uint64_t hash) noexcept {
  const auto hi = static_cast<uint32_t>(hash >> 32);
  hashes_.push_back(hi);  // never reallocates: reserve_one made room
  place(static_cast<uint32_t>(id), hi);
}

void InternIndex::insert(uint64_t id, uint64_t hash, const Miss& miss) noexcept {
  if (miss.capacity != capacity_ || capacity_ == 0) return insert(id, hash);
  const auto hi = static_cast<uint32_t>(hash >> 32);
  hashes_.push_back(hi);  // never reallocates: reserve_one made room
  // Nothing was placed since the miss (the store's lock is held throughout),
  // so the probe would end at the same empty slot.
  tags_[miss.slot] = tag_of(hi);
  ids_[miss.slot] = static_cast<uint32_t>(id);
}

}  // namespace nodalis::ir
