// The out-of-line parts of e-nodes: heap children.
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

}  // namespace nodalis::egraph
