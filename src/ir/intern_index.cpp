// The store's interning table. Each slot keeps 32 bits of the key's hash and
// derives its home position from them, so growing the table moves slots
// without touching (or rehashing) a single key.
#include "ir/intern_index.h"

#include <random>

#include "ir/large_pages.h"

namespace nodalis::ir {

namespace {

constexpr size_t kFirstCapacity = 16;

// Home slot: the high hash bits scaled onto the table (a power of two). The
// scaling keeps slots in hash order, so growth reads the old table and writes
// the new one front to back.
size_t home(uint32_t hash_hi, size_t capacity) noexcept {
  return static_cast<size_t>((static_cast<uint64_t>(hash_hi) * capacity) >> 32);
}

}  // namespace

InternIndex::InternIndex() {
  std::random_device rd;
  seed_ = (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

InternIndex::~InternIndex() { release_zeroed(slots_, capacity_ * sizeof(Slot)); }

uint64_t InternIndex::find(const RecordView& key, uint64_t hash, const NodeKey* nodes) const noexcept {
  if (capacity_ == 0) return kNotFound;
  const auto hi = static_cast<uint32_t>(hash >> 32);
  const size_t mask = capacity_ - 1;
  for (size_t i = home(hi, capacity_);; i = (i + 1) & mask) {
    const Slot s = slots_[i];
    if (s.id_plus1 == 0) return kNotFound;
    if (s.hash_hi == hi && records_equal(nodes[s.id_plus1 - 1].view(), key)) return s.id_plus1 - 1;
  }
}

void InternIndex::prefetch(uint64_t hash) const noexcept {
  const size_t capacity = hint_capacity_.load(std::memory_order_relaxed);
  const Slot* slots = hint_slots_.load(std::memory_order_relaxed);
  if (slots != nullptr && capacity != 0) __builtin_prefetch(slots + home(static_cast<uint32_t>(hash >> 32), capacity));
}

void InternIndex::reserve_one() {
  // Load factor at most 3/4 keeps probe runs short.
  if ((used_ + 1) * 4 <= capacity_ * 3) return;
  const size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
  // The only step that may throw; the memory comes zeroed (all slots empty).
  auto* grown = static_cast<Slot*>(allocate_zeroed(capacity * sizeof(Slot)));
  const size_t mask = capacity - 1;
  for (size_t k = 0; k < capacity_; ++k) {
    const Slot s = slots_[k];
    if (s.id_plus1 == 0) continue;
    size_t i = home(s.hash_hi, capacity);
    while (grown[i].id_plus1 != 0) i = (i + 1) & mask;
    grown[i] = s;
  }
  release_zeroed(slots_, capacity_ * sizeof(Slot));
  slots_ = grown;
  capacity_ = capacity;
  hint_slots_.store(grown, std::memory_order_relaxed);
  hint_capacity_.store(capacity, std::memory_order_relaxed);
}

void InternIndex::insert(uint64_t id, uint64_t hash) noexcept {
  const auto hi = static_cast<uint32_t>(hash >> 32);
  const size_t mask = capacity_ - 1;
  size_t i = home(hi, capacity_);
  while (slots_[i].id_plus1 != 0) i = (i + 1) & mask;
  slots_[i] = Slot{static_cast<uint32_t>(id + 1), hi};
  ++used_;
}

}  // namespace nodalis::ir
