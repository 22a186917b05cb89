// ShapeCounts: for the shapes (symbol and arity) someone asked to keep, how
// many nodes of the root classes have that shape. The e-graph updates the
// kept counts at each rebuild, so that a rule matching one node of a shape
// knows its number of matches without searching; nothing else pays for it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/hash.h"
#include "egraph/symbol_lang.h"

namespace nodalis::egraph {

class ShapeCounts {
 public:
  bool empty() const noexcept { return used_ == 0; }

  std::optional<uint64_t> count(GlobalSymbol op, uint32_t arity) const noexcept {
    if (used_ == 0) return std::nullopt;
    const Slot& s = slots_[find(key_of(op, arity))];
    if (!s.used) return std::nullopt;
    return s.count;
  }

  // Starts keeping a shape, with its present count.
  void keep(GlobalSymbol op, uint32_t arity, uint64_t count) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const uint64_t key = key_of(op, arity);
    Slot& s = slots_[find(key)];
    if (!s.used) ++used_;
    s = Slot{key, count, true};
  }

  // Adds `delta` (which may be negative) to the count of `node`'s shape if
  // that shape is kept.
  void add(const SymbolLang& node, int64_t delta) noexcept {
    Slot& s = slots_[find(key_of(node.op(), node.arity()))];
    if (s.used) s.count += static_cast<uint64_t>(delta);
  }

 private:
  struct Slot {
    uint64_t key = 0;
    uint64_t count = 0;
    bool used = false;
  };

  static uint64_t key_of(GlobalSymbol op, uint32_t arity) noexcept { return (uint64_t{op.raw()} << 32) | arity; }
  // The slot holding `key`, or the empty slot where it would go. The table
  // is never full.
  size_t find(uint64_t key) const noexcept {
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(fx_add(0, key) >> 32) & mask;
    while (slots_[i].used && slots_[i].key != key) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    for (const Slot& s : old) {
      if (s.used) slots_[find(s.key)] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

}  // namespace nodalis::egraph
