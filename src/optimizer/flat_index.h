// FlatIndex: the open-addressing table behind the optimizer's per-call maps
// (token texts, CSE keys, fusion groups). It stores only positions into the
// caller's own list plus 32 hash bits, so the keys are held once, by the caller.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/hash.h"
#include "base/table_seed.h"
#include "optimizer/scratch_vector.h"

namespace nodalis::opt {

// A text's hash, finished for a table's probe position.
inline uint64_t hash_text(uint64_t seed, std::string_view text) noexcept {
  return hash_finish(hash_bytes(seed, text.data(), text.size()));
}

class FlatIndex {
 public:
  static constexpr uint32_t kAbsent = ~uint32_t{0};

  explicit FlatIndex(size_t expected = 0) { reserve(expected); }

  // Makes room for `count` entries without growing.
  void reserve(size_t count) {
    size_t want = 16;
    while (want < count + count / 2 + 1) want <<= 1;
    if (want > slots_.size()) rehash(want);
  }

  // The first position p in probe order with `same(p)`, or kAbsent.
  template <class Same>
  uint32_t find(uint64_t hash, Same&& same) const {
    const uint32_t tag = static_cast<uint32_t>(hash >> 32);
    size_t mask = slots_.size() - 1;
    for (size_t i = tag & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.pos_plus1 == 0) return kAbsent;
      if (s.tag == tag && same(s.pos_plus1 - 1)) return s.pos_plus1 - 1;
    }
  }

  // Starts loading the slot a find for `hash` will read first, so that a
  // caller that knows its next keys can overlap their cache misses.
  void prefetch(uint64_t hash) const noexcept {
    __builtin_prefetch(&slots_[static_cast<uint32_t>(hash >> 32) & (slots_.size() - 1)]);
  }

  size_t size() const noexcept { return used_; }

  // Records position `pos` under `hash`. Every caller enters a key only after
  // find missed it, so no key is ever recorded twice and probe order between
  // entries carries no meaning.
  void insert(uint32_t pos, uint64_t hash) {
    if ((used_ + 1) * 3 > slots_.size() * 2) rehash(slots_.size() * 2);
    place(pos, static_cast<uint32_t>(hash >> 32));
    ++used_;
  }

 private:
  // No member initializers: a table's slots are laid out by one memset.
  struct Slot {
    uint32_t pos_plus1;  // 0 for an empty slot
    uint32_t tag;
  };
  void place(uint32_t pos, uint32_t tag) {
    size_t mask = slots_.size() - 1;
    size_t i = tag & mask;
    while (slots_[i].pos_plus1 != 0) i = (i + 1) & mask;
    slots_[i] = Slot{pos + 1, tag};
  }
  void rehash(size_t size) {
    ScratchVector<Slot, RoomAllocator<Slot>> old;
    old.swap(slots_);
    // Empty slots are all-zero bytes: one memset, where filling slot by slot
    // cost a small table more than its few entries.
    slots_.resize(size);
    std::memset(static_cast<void*>(slots_.data()), 0, size * sizeof(Slot));
    for (const Slot& s : old)
      if (s.pos_plus1 != 0) place(s.pos_plus1 - 1, s.tag);
  }
  static_assert(std::is_trivially_copyable_v<Slot>);
  ScratchVector<Slot, RoomAllocator<Slot>> slots_;
  size_t used_ = 0;
};

}  // namespace nodalis::opt
