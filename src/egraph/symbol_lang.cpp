// Copying and ordering of e-nodes; the inline/heap split is private to here.
#include "egraph/symbol_lang.h"

#include <algorithm>
#include <cstring>

namespace nodalis::egraph {

SymbolLang::SymbolLang(GlobalSymbol op, std::span<const Id> children)
    : op_(op), n_(static_cast<uint32_t>(children.size())), inline_{} {
  if (on_heap()) heap_ = new Id[n_];
  std::copy(children.begin(), children.end(), data());
}

SymbolLang::SymbolLang(GlobalSymbol op, uint32_t arity) : op_(op), n_(arity), inline_{} {
  if (on_heap()) heap_ = new Id[n_]();
}

void SymbolLang::copy_from(const SymbolLang& other) {
  if (other.on_heap()) {
    Id* p = new Id[other.n_];
    std::copy(other.heap_, other.heap_ + other.n_, p);
    heap_ = p;
  } else {
    std::memcpy(inline_, other.inline_, sizeof inline_);
  }
  op_ = other.op_;
  n_ = other.n_;
}

SymbolLang::SymbolLang(const SymbolLang& other) : inline_{} { copy_from(other); }

SymbolLang::SymbolLang(SymbolLang&& other) noexcept : op_(other.op_), n_(other.n_), inline_{} {
  if (other.on_heap()) {
    heap_ = other.heap_;
    other.n_ = 0;
  } else {
    std::memcpy(inline_, other.inline_, sizeof inline_);
  }
}

SymbolLang& SymbolLang::operator=(const SymbolLang& other) {
  if (this != &other) {
    SymbolLang copy(other);
    *this = std::move(copy);
  }
  return *this;
}

SymbolLang& SymbolLang::operator=(SymbolLang&& other) noexcept {
  if (this != &other) {
    release();
    op_ = other.op_;
    n_ = other.n_;
    if (other.on_heap()) {
      heap_ = other.heap_;
      other.n_ = 0;
    } else {
      std::memcpy(inline_, other.inline_, sizeof inline_);
    }
  }
  return *this;
}

void SymbolLang::release() noexcept {
  if (on_heap()) delete[] heap_;
  n_ = 0;
}

bool operator==(const SymbolLang& a, const SymbolLang& b) noexcept {
  if (a.op_ != b.op_ || a.n_ != b.n_) return false;
  return std::equal(a.data(), a.data() + a.n_, b.data());
}

std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) noexcept {
  if (auto c = a.op_ <=> b.op_; c != 0) return c;
  return std::lexicographical_compare_three_way(a.data(), a.data() + a.n_, b.data(), b.data() + b.n_);
}

}  // namespace nodalis::egraph
