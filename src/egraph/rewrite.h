// Rewrite: a named pair of a searcher and an applier, shared and immutable.
// The name keys the scheduler's statistics and the runner's reports.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/hash.h"
#include "base/result.h"
#include "egraph/searcher.h"

namespace nodalis::egraph {

class Rewrite {
 public:
  // Fails with "Rewrite NAME refers to unbound var ?X" when the applier reads
  // a variable the searcher does not bind.
  static Result<Rewrite, std::string> make(std::string_view name, std::shared_ptr<const Searcher> searcher,
                               std::shared_ptr<const Applier> applier);

  GlobalSymbol name() const noexcept { return name_; }
  const Searcher& searcher() const noexcept { return *searcher_; }
  const Applier& applier() const noexcept { return *applier_; }

  std::vector<SearchMatches> search(const EGraph& egraph) const { return searcher_->search(egraph); }
  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, uint64_t limit) const {
    return searcher_->search_with_limit(egraph, limit);
  }
  // The instances whose union with their matched class changed the e-graph.
  std::vector<Id> apply(EGraph& egraph, const std::vector<SearchMatches>& matches) const {
    return applier_->apply_matches(egraph, matches, name_);
  }
  // How many apply would return, with the same effect.
  uint64_t apply_count(EGraph& egraph, const std::vector<SearchMatches>& matches) const {
    return applier_->count_applied(egraph, matches, name_);
  }

  // The searched shape (symbol and arity, children zeroed) of a rule that
  // leaves nothing to do once every match it found has been applied, for as
  // long as no other rule adds nodes of that shape: afterwards each of its
  // matches finds its instance already in the matched class. Two kinds
  // qualify, both searching one node over distinct variables: a rule that
  // rewrites it to one of those variables, and a rule that rewrites a
  // two-child node to the same symbol over its operands swapped.
  const std::optional<SymbolLang>& settling_shape() const noexcept { return settling_; }
  // Whether applying this rule may add a node of `shape`'s symbol and arity;
  // always true for an applier that is not a pattern.
  bool may_add(const SymbolLang& shape) const noexcept {
    if (adds_anything_) return true;
    for (const SymbolLang& s : adds_)
      if (s.matches(shape)) return true;
    return false;
  }
  // One of 64 bits for a shape's symbol and arity; shapes may share one.
  static uint64_t shape_bit(const SymbolLang& shape) noexcept {
    return uint64_t{1} << (fx_add(fx_add(0, shape.op().raw()), shape.arity()) >> 58);
  }
  // The bits of every shape may_add is true for (all of them when any is).
  uint64_t added_bits() const noexcept { return added_bits_; }

 private:
  Rewrite(GlobalSymbol name, std::shared_ptr<const Searcher> searcher, std::shared_ptr<const Applier> applier);

  GlobalSymbol name_;
  std::shared_ptr<const Searcher> searcher_;
  std::shared_ptr<const Applier> applier_;
  std::optional<SymbolLang> settling_;
  std::vector<SymbolLang> adds_;  // shapes of the applier's nodes
  bool adds_anything_ = true;
  uint64_t added_bits_ = ~uint64_t{0};
};

// The usual rule: a left pattern text searched, a right pattern text applied.
// Fails with the reader's error for a text that does not parse, or with the
// unbound-variable error of Rewrite::make.
Result<Rewrite, std::string> rewrite_from_patterns(std::string_view name, std::string_view lhs, std::string_view rhs);

}  // namespace nodalis::egraph
