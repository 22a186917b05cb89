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

// Placing a whole graph sorts its nodes by this many top hash bits at most.
// The sort writes to one open line per region: 1,024 regions keep 64 KiB of
// them, and twice as many made placing a 1M-node graph a quarter slower,
// while a region's slice of the table (2,048 slots at 1M) stays small.
int region_bits(size_t capacity) noexcept { return std::min(std::countr_zero(capacity), 10); }
// Tables from this size on count their regions while nodes are appended.
constexpr size_t kCountedCapacity = size_t{1} << 12;
// Growth from this many slots on asks for the hashes ahead: the 49k nodes
// such a table holds have 192 KiB of them.
constexpr size_t kFarHashes = size_t{1} << 16;

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
  // The hashes, though, are read at random (ids lie in the old table in hash
  // order, not id order). In a big table, asking for them some slots ahead
  // keeps many of those misses in flight instead of one at a time; a small
  // table's hashes are in cache, where asking would only cost instructions.
  constexpr size_t kAhead = 16;
  const uint32_t* const hashes = hashes_.data();
  size_t k = 0;
  if (old_capacity >= kFarHashes) {
    for (; k + kAhead < old_capacity; ++k) {
      if (old_tags[k + kAhead] != 0) __builtin_prefetch(hashes + old_ids[k + kAhead]);
      if (old_tags[k] != 0) place(old_ids[k], hashes[old_ids[k]]);
    }
  }
  for (; k < old_capacity; ++k) {
    if (old_tags[k] != 0) place(old_ids[k], hashes[old_ids[k]]);
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

void InternIndex::begin_appends() {
  region_shift_ = 32;
  // Small graphs are placed as they are counted at the end: counting along
  // would cost them an allocation.
  if (capacity_ < kCountedCapacity || !hashes_.empty()) return;
  region_counts_.assign(size_t{1} << region_bits(capacity_), 0);
  region_shift_ = 32 - region_bits(capacity_);
}

bool InternIndex::place_appended(const NodeKey* nodes) {
  int shift = std::exchange(region_shift_, 32);
  const size_t n = hashes_.size();
  reserve(n);
  if (n == 0) return true;
  // Home slots follow the hash's high bits, so sorting the nodes by their top
  // bits (a counting sort) orders them by home region: each region's probes
  // and writes then stay within a few cache lines. Any number of top bits
  // will do, so regions counted while appending serve even if the table has
  // grown since.
  std::vector<uint32_t> starts;
  if (shift < 32) {
    starts = std::move(region_counts_);
  } else {
    shift = 32 - region_bits(capacity_);
    starts.assign(size_t{1} << (32 - shift), 0);
    for (size_t id = 0; id < n; ++id) ++starts[hashes_[id] >> shift];
  }
  uint32_t sum = 0;
  for (uint32_t& start : starts) sum += std::exchange(start, sum);
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
  // Locals: stores through the byte-wide tags could otherwise alias the
  // members, and the compiler would reload them for every node.
  uint8_t* const tags = tags_;
  uint32_t* const ids = ids_;
  const size_t capacity = capacity_;
  constexpr size_t kAhead = 8;  // nodes between a region's prefetch and its probe
  for (size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) {
      const size_t ahead = control::home(static_cast<uint32_t>(order.entries[k + kAhead] >> 32), capacity);
      __builtin_prefetch(tags + ahead, 1);
      __builtin_prefetch(ids + ahead, 1);
    }
    const uint64_t entry = order.entries[k];
    const auto hi = static_cast<uint32_t>(entry >> 32);
    const auto id = static_cast<uint32_t>(entry);
    const size_t free = control::first_free_slot(tags, capacity, hi);
    if (free != control::kProbeFurther) {
      tags[free] = control::mark(hi);
      ids[free] = id;
      continue;
    }
    const control::Probe p = control::probe(tags, capacity, hi, [&](size_t i) {
      return records_equal(nodes[ids[i]].view(), nodes[id].view());
    });
    if (p.found) return false;
    tags[p.slot] = control::mark(hi);
    ids[p.slot] = id;
  }
  return true;
}

void InternIndex::clear() noexcept {
  if (capacity_ != 0) std::memset(tags_, 0, capacity_);
  hashes_.clear();
  region_shift_ = 32;
}

}  // namespace nodalis::ir
