// MemoTable: the e-graph's hash-cons, node -> class id, in the probing design
// of base/control_bytes.h: the control bytes sit beside 12-byte slots, a
// twelfth of their size. A slot holds the key's index in the e-graph's key
// list, its class and 32 bits of its hash (enough to place it again when the
// table grows).
#pragma once

#include <cstdint>
#include <vector>

#include "base/control_bytes.h"
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
    const uint32_t tag = tag_of(hash);
    const control::Probe p = control::probe(ctrl_.data(), ctrl_.size(), tag, [&](size_t pos) {
      return slots_[pos].tag == tag && keys[slots_[pos].key] == node;
    });
    return {static_cast<uint32_t>(p.slot), p.found};
  }

  // Inserts a new key where `probe` (for the same key, no insert since) ended.
  void insert_at(Probe at, uint32_t key, Id value, uint64_t hash) {
    if (at.slot == kNotFound || (used_ + 1) * 4 > ctrl_.size() * 3) {
      reserve(used_ + 1);
      place(key, value, hash);
    } else {
      ctrl_[at.slot] = control::mark(tag_of(hash));
      slots_[at.slot] = Slot{key, value, tag_of(hash)};
    }
    ++used_;
  }

  Id value(uint32_t slot) const noexcept { return slots_[slot].value; }
  void set_value(uint32_t slot, Id value) noexcept { slots_[slot].value = value; }

  // Rehashes at most once, straight to the capacity n keys need.
  void reserve(size_t n) {
    size_t cap = ctrl_.empty() ? 16 : ctrl_.size();
    while (n * 4 > cap * 3) cap *= 2;
    if (cap != ctrl_.size()) rehash(cap);
  }

 private:
  struct Slot {
    uint32_t key;  // index into the key list
    Id value;
    uint32_t tag;  // high 32 bits of the key's hash; its top bits pick the slot
  };

  static uint32_t tag_of(uint64_t hash) noexcept { return static_cast<uint32_t>(hash >> 32); }

  void place(uint32_t key, Id value, uint64_t hash) noexcept { place(Slot{key, value, tag_of(hash)}); }
  void place(Slot slot) noexcept {
    const size_t pos = control::free_slot(ctrl_.data(), ctrl_.size(), slot.tag);
    ctrl_[pos] = control::mark(slot.tag);
    slots_[pos] = slot;
  }

  void rehash(size_t cap) {
    std::vector<uint8_t> old_ctrl = std::move(ctrl_);
    std::vector<Slot> old = std::move(slots_);
    ctrl_.assign(cap, 0);
    slots_.resize(cap);
    for (size_t k = 0; k < old.size(); ++k) {
      if (old_ctrl[k] != control::kEmpty) place(old[k]);
    }
  }

  std::vector<uint8_t> ctrl_;  // 0 = empty, else 0x80 | 7 hash bits
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

}  // namespace nodalis::egraph
