// The store's interning table, in the probing design of control_bytes.h.
// The 32 hash bits that pick the home slot and the control byte are kept per
// node, so growing the table re-places nodes without touching (or rehashing)
// a single key.
#include "ir/intern_index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "base/control_bytes.h"

#include "base/table_seed.h"

namespace nodalis::ir {

namespace {

constexpr size_t kFirstCapacity = 16;

}  // namespace

InternIndex::InternIndex() : seed_(table_seed()) {}

InternIndex::~InternIndex() {
  release_block(tags_, capacity_);
  release_block(ids_, capacity_ * sizeof(uint32_t));
}

uint64_t InternIndex::find(const RecordView& key, uint64_t hash, const NodeKey* nodes) const noexcept {
  Miss miss;
  return find(key, hash, nodes, miss);
}

void InternIndex::place(uint32_t id, uint32_t hash_hi) noexcept {
  const size_t i = control::free_slot(tags_, capacity_, hash_hi);
  tags_[i] = control::mark(hash_hi);
  ids_[i] = id;
}

void InternIndex::make_room_for_one() {
  const size_t used = hashes_.size();
  if (used == hashes_.capacity()) hashes_.reserve(std::max<size_t>(16, 2 * used));
  // Load factor at most 3/4 keeps probe runs short.
  if ((used + 1) * 4 > capacity_ * 3) grow_to(capacity_ == 0 ? kFirstCapacity : capacity_ * 2);
  update_room();
}

void InternIndex::update_room() noexcept { room_ = std::min(hashes_.capacity(), capacity_ / 4 * 3); }

void InternIndex::reserve(uint64_t keys) {
  size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
  while (keys * 4 > capacity * 3) capacity *= 2;
  // Doubling, for a caller that reserves run by run.
  if (keys > hashes_.capacity()) hashes_.reserve(std::max<size_t>(keys, 2 * hashes_.capacity()));
  update_room();
  if (capacity != capacity_) grow_to(capacity);
}

void InternIndex::grow_to(size_t capacity) {
  // The only steps that may throw. Zeroed tags are all slots empty; an id is
  // read only where its tag is set, so the ids need no clearing.
  auto* tags = static_cast<uint8_t*>(allocate_zeroed(capacity));
  uint32_t* ids;
  try {
    ids = static_cast<uint32_t*>(allocate_block(capacity * sizeof(uint32_t)));
  } catch (...) {
    release_block(tags, capacity);
    throw;
  }
  uint8_t* old_tags = std::exchange(tags_, tags);
  uint32_t* old_ids = std::exchange(ids_, ids);
  const size_t old_capacity = std::exchange(capacity_, capacity);
  // Walking the old slots in order visits nodes in home order, and home
  // positions keep their order when the table doubles: the new table is
  // written front to back, not at random.
  // Each node's hash is read at random: ask for it a few occupied slots
  // ahead, so that the misses overlap instead of adding up.
  constexpr size_t kAhead = 16;
  for (size_t k = 0; k < old_capacity; ++k) {
    if (k + kAhead < old_capacity && old_tags[k + kAhead] != 0) __builtin_prefetch(&hashes_[old_ids[k + kAhead]]);
    if (old_tags[k] != 0) place(old_ids[k], hashes_[old_ids[k]]);
  }
  release_block(old_tags, old_capacity);
  release_block(old_ids, old_capacity * sizeof(uint32_t));
  hint_tags_.store(tags, std::memory_order_relaxed);
  hint_ids_.store(ids, std::memory_order_relaxed);
  hint_capacity_.store(capacity, std::memory_order_relaxed);
  update_room();
}

void InternIndex::insert(uint64_t id, uint64_t hash) noexcept {
  const auto hi = static_cast<uint32_t>(hash >> 32);
  hashes_.push_back(hi);  // never reallocates: reserve_one or reserve made room
  place(static_cast<uint32_t>(id), hi);
}

bool InternIndex::place_appended(const NodeKey* nodes) {
  const size_t n = hashes_.size();
  reserve(n);
  if (n == 0) return true;
  // Home slots follow the hash's high bits, so sorting the nodes by their top
  // bits (one counting pass) orders them by home region: each region's
  // probes and writes then stay within a few cache lines.
  const int log2_capacity = std::countr_zero(capacity_);
  const int bits = std::min(log2_capacity, 11);
  const int shift = 32 - bits;
  std::vector<uint32_t> starts((size_t{1} << bits) + 1, 0);
  for (size_t id = 0; id < n; ++id) ++starts[(hashes_[id] >> shift) + 1];
  for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  // Each entry carries its hash (high half) beside its id, so that placing
  // reads nothing at random but the rare key a tag match asks for; every
  // entry is written before it is read, so the block is not cleared.
  struct Scratch {
    uint64_t* entries;
    size_t bytes;
    ~Scratch() { release_block(entries, bytes); }
  } order{static_cast<uint64_t*>(allocate_block(n * sizeof(uint64_t))), n * sizeof(uint64_t)};
  for (size_t id = 0; id < n; ++id) {
    const uint32_t hi = hashes_[id];
    order.entries[starts[hi >> shift]++] = uint64_t{hi} << 32 | id;
  }
  for (size_t k = 0; k < n; ++k) {
    const uint64_t entry = order.entries[k];
    const auto hi = static_cast<uint32_t>(entry >> 32);
    const auto id = static_cast<uint32_t>(entry);
    const control::Probe p = control::probe(tags_, capacity_, hi, [&](size_t i) {
      return records_equal(nodes[ids_[i]].view(), nodes[id].view());
    });
    if (p.found) return false;
    tags_[p.slot] = control::mark(hi);
    ids_[p.slot] = id;
  }
  return true;
}

void InternIndex::clear() noexcept {
  if (capacity_ != 0) std::memset(tags_, 0, capacity_);
  hashes_.clear();
}

}  // namespace nodalis::ir
