// MemoTable: the e-graph's hash-cons, node -> class id. Open addressing with
// linear probing. A dense array of one-byte control marks (empty, or 7 bits
// of the hash) sits beside 12-byte slots: a probe for a node that is not
// there, which is what every add of a new node does, almost always reads only
// the marks, a twelfth of the slots' size and far likelier to be in cache. A
// slot holds the key's index in the e-graph's key list, its class and 32 bits
// of its hash (enough to place it again when the table grows).
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "egraph/block_list.h"
#include "egraph/id.h"
#include "egraph/symbol_lang.h"

namespace nodalis::egraph {

class MemoTable {
 public:
  static constexpr uint32_t kNotFound = UINT32_MAX;

  size_t size() const noexcept { return used_; }

  // The slot of an equal key, or else the empty slot where the key would go.
  struct Probe {
    uint32_t slot;
    bool found;
  };
  Probe probe(const SymbolLang& node, uint64_t hash, const BlockList<SymbolLang>& keys) const noexcept {
    if (ctrl_.empty()) return {kNotFound, false};
    uint32_t tag = tag_of(hash);
    uint8_t mark = mark_of(hash);
    for (size_t pos = tag >> shift_;; pos = (pos + 1) & mask_) {
      uint8_t c = ctrl_[pos];
      if (c == 0) return {static_cast<uint32_t>(pos), false};
      if (c == mark && slots_[pos].tag == tag && keys[slots_[pos].key] == node) {
        return {static_cast<uint32_t>(pos), true};
      }
    }
  }

  // Inserts a new key where `probe` (for the same key, no insert since) ended.
  void insert_at(Probe at, uint32_t key, Id value, uint64_t hash) {
    if (at.slot == kNotFound || (used_ + 1) * 4 > ctrl_.size() * 3) {
      reserve(used_ + 1);
      place(key, value, hash);
    } else {
      ctrl_[at.slot] = mark_of(hash);
      slots_[at.slot] = Slot{key, value, tag_of(hash)};
    }
    ++used_;
  }

  Id value(uint32_t slot) const noexcept { return slots_[slot].value; }
  void set_value(uint32_t slot, Id value) noexcept { slots_[slot].value = value; }

  void reserve(size_t n) {
    while (n * 4 > ctrl_.size() * 3) grow();
  }

 private:
  struct Slot {
    uint32_t key;  // index into the key list
    Id value;
    uint32_t tag;  // high 32 bits of the key's hash; its top bits pick the slot
  };

  static uint32_t tag_of(uint64_t hash) noexcept { return static_cast<uint32_t>(hash >> 32); }
  // Bits apart from those that pick the slot; the top bit marks "used".
  static uint8_t mark_of(uint64_t hash) noexcept { return static_cast<uint8_t>(0x80 | ((hash >> 24) & 0x7f)); }

  void place(uint32_t key, Id value, uint64_t hash) noexcept { place(Slot{key, value, tag_of(hash)}, mark_of(hash)); }
  void place(Slot slot, uint8_t mark) noexcept {
    size_t pos = slot.tag >> shift_;
    while (ctrl_[pos] != 0) pos = (pos + 1) & mask_;
    ctrl_[pos] = mark;
    slots_[pos] = slot;
  }

  void grow() {
    std::vector<uint8_t> old_ctrl = std::move(ctrl_);
    std::vector<Slot> old = std::move(slots_);
    size_t cap = old.empty() ? 16 : old.size() * 2;
    ctrl_.assign(cap, 0);
    slots_.resize(cap);
    mask_ = cap - 1;
    shift_ = 32 - static_cast<uint32_t>(std::countr_zero(cap));
    for (size_t k = 0; k < old.size(); ++k) {
      if (old_ctrl[k] != 0) place(old[k], old_ctrl[k]);
    }
  }

  std::vector<uint8_t> ctrl_;  // 0 = empty, else 0x80 | 7 hash bits
  std::vector<Slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
  uint32_t shift_ = 32;
};

}  // namespace nodalis::egraph
