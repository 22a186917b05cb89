// SymbolMarks: one bit per symbol, folded onto 256, for the dozen names of a
// rule set. An unmarked symbol was never marked; a marked one may only share
// its bit with another, so the caller then asks the slow way. Telling a rule
// set's names apart this way costs a few instructions per name instead of a
// comparison with every earlier one, which a small reduction noticed.
#pragma once

#include <cstdint>

#include "egraph/symbol_table.h"

namespace nodalis::egraph {

class SymbolMarks {
 public:
  bool marked(GlobalSymbol s) const noexcept { return (words_[word(s)] & bit(s)) != 0; }
  // Marks `s`; true when its bit was set already (`s` may have been marked).
  bool mark(GlobalSymbol s) noexcept {
    const bool was = marked(s);
    words_[word(s)] |= bit(s);
    return was;
  }

 private:
  static unsigned word(GlobalSymbol s) noexcept { return (s.raw() >> 6) & 3; }
  static uint64_t bit(GlobalSymbol s) noexcept { return uint64_t{1} << (s.raw() & 63); }

  uint64_t words_[4] = {};
};

}  // namespace nodalis::egraph
