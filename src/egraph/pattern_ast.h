// The parsed form of a pattern: a flat list of pattern nodes, each a variable
// or an e-node whose children index earlier entries, the root last. Holds the
// s-expression reader and compaction, which shares identical subterms.
#pragma once

#include <compare>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "egraph/subst.h"
#include "egraph/symbol_lang.h"

namespace nodalis::egraph {

template <class T>
using RecExpr = std::vector<T>;

class ENodeOrVar {
 public:
  static ENodeOrVar of_var(Var v) {
    ENodeOrVar n;
    n.is_var_ = true;
    n.var_ = v;
    return n;
  }
  static ENodeOrVar of_node(SymbolLang node) {
    ENodeOrVar n;
    n.node_ = std::move(node);
    return n;
  }

  bool is_var() const noexcept { return is_var_; }
  Var var() const noexcept { return var_; }
  // For an e-node: its symbol and the indexes of its children in the RecExpr.
  const SymbolLang& node() const noexcept { return node_; }
  SymbolLang& node() noexcept { return node_; }

  friend bool operator==(const ENodeOrVar&, const ENodeOrVar&) = default;
  friend std::strong_ordering operator<=>(const ENodeOrVar& a, const ENodeOrVar& b) {
    if (auto c = a.is_var_ <=> b.is_var_; c != 0) return c;
    if (a.is_var_) return a.var_.sym <=> b.var_.sym;
    return a.node_ <=> b.node_;
  }

 private:
  ENodeOrVar() = default;
  bool is_var_ = false;
  Var var_{};
  SymbolLang node_;
};

using PatternAst = RecExpr<ENodeOrVar>;

// Reads a pattern text into an (uncompacted) RecExpr.
Result<PatternAst, std::string> parse_pattern_ast(std::string_view text);
// Keeps the first occurrence of each distinct node, children renumbered.
PatternAst compact(const PatternAst& ast);
// The distinct variables, in order of first appearance.
std::vector<Var> pattern_vars(const PatternAst& ast);
// S-expression text of the subterm rooted at the last entry.
std::string to_sexp(const PatternAst& ast);

}  // namespace nodalis::egraph
