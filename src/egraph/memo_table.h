// MemoTable: the e-graph's hash-cons, node -> class id. Open addressing with
// linear probing. A node of at most two children is held whole in its 16-byte
// slot, so finding it reads one cache line and never the key list: on a large
// e-graph every probe is a cache miss, and the key list was a second one.
// Wider nodes keep their key's index and hash bits in a table of their own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/hash.h"
#include "base/large_pages.h"
#include "egraph/block_list.h"
#include "egraph/id.h"
#include "egraph/symbol_lang.h"

namespace nodalis::egraph {

class MemoTable {
 public:
  size_t size() const noexcept { return narrow_used_ + wide_used_; }

  // Where a probe ended: the slot of an equal key, or else the empty slot
  // where the key would go (kNotFound while the table has no room at all).
  struct Probe;

  // Inlined: the e-graph probes once per add, and the call and the probe
  // record passed through memory cost as much as the probe itself.
  [[gnu::always_inline]] Probe probe(const SymbolLang& node, const BlockList<SymbolLang>& keys) const noexcept {
    if (node.arity() <= 2) {
      const Narrow want = narrow_of(node, 0);
      const uint64_t hash = narrow_hash(want);
      if (narrow_.empty()) return {want, hash, kNotFound, false, false};
      const size_t mask = narrow_.size() - 1;
      for (size_t i = home(hash, narrow_.size());; i = (i + 1) & mask) {
        const Narrow& s = narrow_[i];
        if (s.value == kNone) return {want, hash, static_cast<uint32_t>(i), false, false};
        if (s.op == want.op && s.a == want.a && s.b == want.b) return {want, hash, static_cast<uint32_t>(i), true, false};
      }
    }
    return probe_wide(node, keys);
  }

  // Inserts the probed node (key index `key` in the key list) where `at`, a
  // probe with no insert since, ended.
  [[gnu::always_inline]] void insert_at(Probe at, uint32_t key, Id value) {
    if (at.wide || at.slot == kNotFound || (narrow_used_ + 1) * 4 > narrow_.size() * 3) {
      insert_slow(at, key, value);
      return;
    }
    at.key.value = value;
    narrow_[at.slot] = at.key;
    ++narrow_used_;
  }

  Id value(Probe at) const noexcept { return at.wide ? wide_[at.slot].value : narrow_[at.slot].value; }
  void set_value(Probe at, Id value) noexcept {
    if (at.wide) {
      wide_[at.slot].value = value;
    } else {
      narrow_[at.slot].value = value;
    }
  }

  // Room for n keys of at most two children, rehashing at most once.
  void reserve(size_t n) { grow(narrow_, n); }
  // Forgets every key. A small table keeps its slots; a large one is let go,
  // since the next user may be small and would empty and probe all of it.
  void clear() noexcept {
    clear_slots(narrow_);
    clear_slots(wide_);
    narrow_used_ = 0;
    wide_used_ = 0;
  }

  // Enters keys[first..) of a table that held no key before, key k as class
  // first_value + (k - first), in the order of their home slots instead of
  // one by one: on a large table each probe then lands next to the last one
  // instead of at random. False when two of them are equal, leaving the
  // table in no particular state (the caller drops it).
  bool insert_all_distinct(const BlockList<SymbolLang>& keys, size_t first, Id first_value);


 private:
  static constexpr uint32_t kNotFound = UINT32_MAX;
  // From this many keys on, a bulk insert sorts them by home slot first.
  static constexpr size_t kSortFrom = size_t{1} << 15;
  // No class has this id (the union-find never issues it), so it marks both
  // an empty slot and a missing child.
  static constexpr Id kNone = UINT32_MAX;

  struct Narrow {
    uint32_t op = 0;
    Id a = kNone;  // first child, or kNone for a leaf
    Id b = kNone;  // second child, or kNone for fewer than two
    Id value = kNone;
  };
  // Slot arrays, and the bulk load's sorting arrays, of a large e-graph
  // come from huge-page blocks kept across e-graphs: each probe lands at
  // random, which on 4 KiB pages is also a TLB miss, and a table mapped
  // afresh per e-graph had the kernel fault in and clear every page of it.
  template <class Slot>
  using Slots = std::vector<Slot, LargePageAllocator<Slot>>;
  using Narrows = Slots<Narrow>;

 public:
  struct Probe {
    Narrow key;  // the probed node as a narrow slot holds it (if it is narrow)
    uint64_t hash;
    uint32_t slot;
    bool found;
    bool wide;
  };

 private:
  Probe probe_wide(const SymbolLang& node, const BlockList<SymbolLang>& keys) const noexcept {
    const uint64_t hash = node.hash();
    if (wide_.empty()) return {Narrow{}, hash, kNotFound, false, true};
    const uint32_t tag = static_cast<uint32_t>(hash >> 32);
    const size_t mask = wide_.size() - 1;
    for (size_t i = home(hash, wide_.size());; i = (i + 1) & mask) {
      const Wide& s = wide_[i];
      if (s.value == kNone) return {Narrow{}, hash, static_cast<uint32_t>(i), false, true};
      if (s.tag == tag && keys[s.key] == node) return {Narrow{}, hash, static_cast<uint32_t>(i), true, true};
    }
  }

  // Wide nodes, and narrow ones that need the table to grow first.
  [[gnu::noinline]] void insert_slow(Probe at, uint32_t key, Id value) {
    if (!at.wide) {
      grow(narrow_, narrow_used_ + 1);
      at.key.value = value;
      narrow_[free_slot(narrow_, at.hash)] = at.key;
      ++narrow_used_;
      return;
    }
    if (at.slot == kNotFound || (wide_used_ + 1) * 4 > wide_.size() * 3) {
      grow(wide_, wide_used_ + 1);
      at.slot = free_slot(wide_, at.hash);
    }
    wide_[at.slot] = Wide{static_cast<uint32_t>(at.hash >> 32), key, value};
    ++wide_used_;
  }
  struct Wide {
    uint32_t tag = 0;  // high 32 bits of the node's hash
    uint32_t key = 0;  // index into the key list
    Id value = kNone;
    uint64_t hash() const noexcept { return uint64_t{tag} << 32; }
  };

  static Narrow narrow_of(const SymbolLang& node, Id value) noexcept {
    std::span<const Id> c = node.children();
    return Narrow{node.op().raw(), c.size() > 0 ? c[0] : kNone, c.size() > 1 ? c[1] : kNone, value};
  }
  static uint64_t narrow_hash(const Narrow& s) noexcept {
    using namespace hash_detail;
    return mum(uint64_t{s.op} ^ kMul1, ((uint64_t{s.a} << 32) | s.b) ^ kMul2);
  }
  static uint64_t hash_of(const Narrow& s) noexcept { return narrow_hash(s); }
  static uint64_t hash_of(const Wide& s) noexcept { return s.hash(); }

  // Home slot: the high hash bits scaled onto the capacity, which keeps slots
  // in hash order, so a rehash walking the old table writes the new one front
  // to back.
  static size_t home(uint64_t hash, size_t capacity) noexcept {
    return static_cast<size_t>(((hash >> 32) * capacity) >> 32);
  }

  static constexpr size_t kKeptSlots = 1024;

  template <class Slot>
  static void clear_slots(Slots<Slot>& slots) noexcept {
    if (slots.size() > kKeptSlots) {
      Slots<Slot>().swap(slots);
    } else {
      std::fill(slots.begin(), slots.end(), Slot{});
    }
  }

  template <class Slot>
  static uint32_t free_slot(const Slots<Slot>& slots, uint64_t hash) noexcept {
    const size_t mask = slots.size() - 1;
    size_t i = home(hash, slots.size());
    while (slots[i].value != kNone) i = (i + 1) & mask;
    return static_cast<uint32_t>(i);
  }

  // Grows `slots` to the power-of-two capacity n keys need at a load of at
  // most three quarters, if it is smaller.
  template <class Slot>
  static void grow(Slots<Slot>& slots, size_t n) {
    size_t cap = slots.empty() ? 16 : slots.size();
    while (n * 4 > cap * 3) cap *= 2;
    if (cap == slots.size()) return;
    Slots<Slot> old = std::move(slots);
    slots.assign(cap, Slot{});
    for (const Slot& s : old) {
      if (s.value != kNone) slots[free_slot(slots, hash_of(s))] = s;
    }
  }

  Narrows narrow_;
  Slots<Wide> wide_;
  size_t narrow_used_ = 0;
  size_t wide_used_ = 0;
};

}  // namespace nodalis::egraph
