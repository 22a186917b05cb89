// MemoTable: the e-graph's hash-cons, node -> class id. Open addressing with
// linear probing over 12-byte slots; the key nodes themselves stay in the
// e-graph's key list, so a slot holds the key's index, its class and 32 bits
// of its hash (enough to place it again when the table grows).
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "egraph/id.h"
#include "egraph/symbol_lang.h"

namespace nodalis::egraph {

class MemoTable {
 public:
  static constexpr uint32_t kNotFound = UINT32_MAX;

  size_t size() const noexcept { return used_; }

  // Slot position of a key equal to `node`, or kNotFound.
  uint32_t find(const SymbolLang& node, uint64_t hash, const std::vector<SymbolLang>& keys) const noexcept {
    if (slots_.empty()) return kNotFound;
    uint32_t tag = tag_of(hash);
    for (size_t pos = tag >> shift_;; pos = (pos + 1) & mask_) {
      const Slot& s = slots_[pos];
      if (s.key == kEmpty) return kNotFound;
      if (s.tag == tag && keys[s.key] == node) return static_cast<uint32_t>(pos);
    }
  }

  Id value(uint32_t slot) const noexcept { return slots_[slot].value; }
  void set_value(uint32_t slot, Id value) noexcept { slots_[slot].value = value; }

  // Records keys[key] -> value; the caller has checked that the key is new.
  void insert(uint32_t key, Id value, uint64_t hash) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    place(Slot{key, value, tag_of(hash)});
    ++used_;
  }

  void reserve(size_t n) {
    while (n * 4 > slots_.size() * 3) grow();
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint32_t key;  // index into the key list, kEmpty if unused
    Id value;
    uint32_t tag;  // high 32 bits of the key's hash; its top bits pick the slot
  };

  static uint32_t tag_of(uint64_t hash) noexcept { return static_cast<uint32_t>(hash >> 32); }

  void place(Slot slot) noexcept {
    size_t pos = slot.tag >> shift_;
    while (slots_[pos].key != kEmpty) pos = (pos + 1) & mask_;
    slots_[pos] = slot;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    size_t cap = old.empty() ? 16 : old.size() * 2;
    slots_.assign(cap, Slot{kEmpty, 0, 0});
    mask_ = cap - 1;
    shift_ = 32 - static_cast<uint32_t>(std::countr_zero(cap));
    for (const Slot& s : old) {
      if (s.key != kEmpty) place(s);
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
  uint32_t shift_ = 32;
};

}  // namespace nodalis::egraph
