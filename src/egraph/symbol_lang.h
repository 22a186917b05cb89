// SymbolLang: one e-node, a symbol over an ordered list of child class ids.
// Up to four children live inline, so the common node is a 24-byte value that
// copies without touching the heap; wider nodes keep their children on the heap.
#pragma once

#include <algorithm>
#include <compare>
#include <cstring>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "base/hash.h"
#include "egraph/id.h"
#include "egraph/symbol_table.h"

namespace nodalis::egraph {

class SymbolLang {
 public:
  static constexpr uint32_t kInline = 4;

  SymbolLang() noexcept : inline_{} {}
  SymbolLang(GlobalSymbol op, std::span<const Id> children)
      : op_(op), n_(static_cast<uint32_t>(children.size())), inline_{} {
    if (on_heap()) {
      copy_heap(children);
    } else {
      for (uint32_t k = 0; k < n_; ++k) inline_[k] = children[k];
    }
  }
  SymbolLang(GlobalSymbol op, std::initializer_list<Id> children)
      : SymbolLang(op, std::span<const Id>(children.begin(), children.size())) {}
  // A leaf or a node with `arity` zeroed children (the shape a matching
  // instruction compares against).
  SymbolLang(GlobalSymbol op, uint32_t arity);

  SymbolLang(const SymbolLang& other) : op_(other.op_), n_(other.n_), inline_{} {
    if (other.on_heap()) {
      copy_heap(other.children());
    } else {
      std::memcpy(inline_, other.inline_, sizeof inline_);
    }
  }
  SymbolLang(SymbolLang&& other) noexcept : op_(other.op_), n_(other.n_), inline_{} { steal(other); }
  SymbolLang& operator=(const SymbolLang& other) {
    if (this != &other) *this = SymbolLang(other);
    return *this;
  }
  SymbolLang& operator=(SymbolLang&& other) noexcept {
    if (this != &other) {
      release();
      op_ = other.op_;
      n_ = other.n_;
      steal(other);
    }
    return *this;
  }
  ~SymbolLang() { release(); }

  GlobalSymbol op() const noexcept { return op_; }
  uint32_t arity() const noexcept { return n_; }
  std::span<Id> children() noexcept { return {data(), n_}; }
  std::span<const Id> children() const noexcept { return {data(), n_}; }

  // Same symbol and same number of children, whatever the children are.
  bool matches(const SymbolLang& other) const noexcept { return op_ == other.op_ && n_ == other.n_; }

  uint64_t hash() const noexcept {
    uint64_t state = fx_add(0, op_.raw());
    state = fx_add(state, n_);
    for (Id c : children()) state = fx_add(state, c);
    return state;
  }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) noexcept {
    if (a.op_ != b.op_ || a.n_ != b.n_) return false;
    // A plain loop: children are few, and std::equal becomes a memcmp call.
    const Id* x = a.data();
    const Id* y = b.data();
    for (uint32_t k = 0; k < a.n_; ++k) {
      if (x[k] != y[k]) return false;
    }
    return true;
  }
  // By symbol value, then children element by element; a proper prefix
  // first. Inline: a rebuild sorts every merged class's list with it.
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) noexcept {
    if (a.op_ != b.op_) return a.op_ <=> b.op_;
    const Id* x = a.data();
    const Id* y = b.data();
    const uint32_t n = std::min(a.n_, b.n_);
    for (uint32_t k = 0; k < n; ++k) {
      if (x[k] != y[k]) return x[k] <=> y[k];
    }
    return a.n_ <=> b.n_;
  }

 private:
  bool on_heap() const noexcept { return n_ > kInline; }
  Id* data() noexcept { return on_heap() ? heap_ : inline_; }
  const Id* data() const noexcept { return on_heap() ? heap_ : inline_; }
  void release() noexcept {
    if (on_heap()) delete[] heap_;
    n_ = 0;
  }
  // Takes other's children; op_ and n_ are already copied.
  void steal(SymbolLang& other) noexcept {
    if (other.on_heap()) {
      heap_ = other.heap_;
      other.n_ = 0;
    } else {
      std::memcpy(inline_, other.inline_, sizeof inline_);
    }
  }
  // Puts n_ children on the heap, copied from `children`.
  void copy_heap(std::span<const Id> children);

  GlobalSymbol op_;
  uint32_t n_ = 0;
  union {
    Id inline_[kInline];
    Id* heap_;
  };
};

}  // namespace nodalis::egraph
