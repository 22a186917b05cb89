// The two sides of a rewrite as interfaces: a Searcher finds substitutions in
// an e-graph, an Applier turns them into new terms and unions. Pattern
// implements both; the runner and scheduler see only these.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern_ast.h"
#include "egraph/subst.h"

namespace nodalis::egraph {

// The matches of one searcher in one class.
struct SearchMatches {
  // Written out so that an entry made in place is not zeroed first (the
  // substitution list's inline room is left for the matches to fill).
  SearchMatches() noexcept {}
  SearchMatches(Id id, SubstList list, const PatternAst* pattern) noexcept
      : eclass(id), substs(std::move(list)), ast(pattern) {}

  Id eclass = 0;
  SubstList substs;
  const PatternAst* ast = nullptr;  // the searching pattern, if it is one
};

inline constexpr uint64_t kNoLimit = UINT64_MAX;

class Searcher {
 public:
  virtual ~Searcher() = default;

  virtual std::optional<SearchMatches> search_eclass(const EGraph& egraph, Id eclass) const {
    return search_eclass_with_limit(egraph, eclass, kNoLimit);
  }
  virtual std::optional<SearchMatches> search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                                uint64_t limit) const = 0;
  virtual std::vector<SearchMatches> search(const EGraph& egraph) const { return search_with_limit(egraph, kNoLimit); }
  // At most `limit` substitutions in total.
  virtual std::vector<SearchMatches> search_with_limit(const EGraph& egraph, uint64_t limit) const = 0;
  // The same matches, written over `out`, whose room a searcher may reuse:
  // a run searches every rule in every iteration, and most lists are short.
  virtual void search_with_limit_into(const EGraph& egraph, uint64_t limit, std::vector<SearchMatches>& out) const {
    out = search_with_limit(egraph, limit);
  }
  virtual uint64_t n_matches(const EGraph& egraph) const {
    uint64_t n = 0;
    for (const SearchMatches& m : search(egraph)) n += m.substs.size();
    return n;
  }
  virtual const PatternAst* get_pattern_ast() const { return nullptr; }
  // Distinct variables bound by a match, in order of first appearance.
  virtual std::vector<Var> vars() const = 0;
  // For a searcher whose matches are exactly the root classes' nodes of one
  // symbol and arity, one substitution each: that shape (children zeroed).
  // Its number of matches in a clean e-graph is then the e-graph's
  // shape_count, known without searching.
  virtual std::optional<SymbolLang> counted_shape() const { return std::nullopt; }
};

class Applier {
 public:
  virtual ~Applier() = default;

  // For every substitution of every match in order: instantiate, then union
  // the instance (first) with the matched class. Returns the instances whose
  // union changed the e-graph.
  virtual std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                        GlobalSymbol rule_name) const {
    std::vector<Id> changed;
    for (const SearchMatches& m : matches) {
      for (const Subst& s : m.substs) {
        for (Id id : apply_one(egraph, m.eclass, s, rule_name)) {
          if (egraph.merge(id, m.eclass)) changed.push_back(id);
        }
      }
    }
    return changed;
  }
  // The number of instances apply_matches would return, with the same
  // effect on the e-graph; an applier may count them without listing them.
  virtual uint64_t count_applied(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                 GlobalSymbol rule_name) const {
    return apply_matches(egraph, matches, rule_name).size();
  }
  virtual const PatternAst* get_pattern_ast() const { return nullptr; }
  // The instances for one substitution, without any union.
  virtual std::vector<Id> apply_one(EGraph& egraph, Id eclass, const Subst& subst, GlobalSymbol rule_name) const = 0;
  // Variables the applier reads from a substitution.
  virtual std::vector<Var> vars() const { return {}; }
};

}  // namespace nodalis::egraph
