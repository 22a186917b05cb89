// The out-of-line parts of e-nodes: heap children and ordering.
#include "egraph/symbol_lang.h"

#include <algorithm>
#include <cstring>

namespace nodalis::egraph {

SymbolLang::SymbolLang(GlobalSymbol op, uint32_t arity) : op_(op), n_(arity), inline_{} {
  if (on_heap()) heap_ = new Id[n_]();
}

void SymbolLang::copy_heap(std::span<const Id> children) {
  heap_ = new Id[n_];
  std::copy(children.begin(), children.end(), heap_);
}

std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) noexcept {
  if (auto c = a.op_ <=> b.op_; c != 0) return c;
  return std::lexicographical_compare_three_way(a.data(), a.data() + a.n_, b.data(), b.data() + b.n_);
}

}  // namespace nodalis::egraph
