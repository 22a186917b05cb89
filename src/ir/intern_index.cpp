// The store's interning table. Each slot keeps 32 bits of the key's hash and
// derives its home position from them, so growing the table moves slots
// without touching (or rehashing) a single key.
#include "ir/intern_index.h"

#include <random>

namespace nodalis::ir {

namespace {

constexpr size_t kFirstCapacity = 16;

// Home slot: the high hash bits scaled onto the table (a power of two).
size_t home(uint32_t hash_hi, size_t capacity) noexcept {
  return static_cast<size_t>((static_cast<uint64_t>(hash_hi) * capacity) >> 32);
}

}  // namespace

InternIndex::InternIndex() {
  std::random_device rd;
  seed_ = (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

uint64_t InternIndex::find(const NodeKey& key, uint64_t hash, const std::vector<NodeKey>& nodes) const noexcept {
  if (slots_.empty()) return kNotFound;
  const auto hi = static_cast<uint32_t>(hash >> 32);
  const size_t mask = slots_.size() - 1;
  for (size_t i = home(hi, slots_.size());; i = (i + 1) & mask) {
    const Slot s = slots_[i];
    if (s.id_plus1 == 0) return kNotFound;
    if (s.hash_hi == hi && nodes[s.id_plus1 - 1] == key) return s.id_plus1 - 1;
  }
}

void InternIndex::reserve_one(const std::vector<NodeKey>&) {
  // Load factor at most 3/4 keeps probe runs short.
  if ((used_ + 1) * 4 <= slots_.size() * 3) return;
  const size_t capacity = slots_.empty() ? kFirstCapacity : slots_.size() * 2;
  std::vector<Slot> grown(capacity, Slot{0, 0});  // the only step that may throw
  const size_t mask = capacity - 1;
  for (const Slot s : slots_) {
    if (s.id_plus1 == 0) continue;
    size_t i = home(s.hash_hi, capacity);
    while (grown[i].id_plus1 != 0) i = (i + 1) & mask;
    grown[i] = s;
  }
  slots_.swap(grown);
}

void InternIndex::insert(uint64_t id, uint64_t hash, const std::vector<NodeKey>& nodes) {
  reserve_one(nodes);
  const auto hi = static_cast<uint32_t>(hash >> 32);
  const size_t mask = slots_.size() - 1;
  size_t i = home(hi, slots_.size());
  while (slots_[i].id_plus1 != 0) i = (i + 1) & mask;
  slots_[i] = Slot{static_cast<uint32_t>(id + 1), hi};
  ++used_;
}

}  // namespace nodalis::ir
