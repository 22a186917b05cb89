// Small helpers the runner and scheduler tests share: building rules from
// pattern texts and e-graphs of many identical shapes.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/rewrite.h"

namespace nodalis::egraph::testing_rules {

inline Rewrite rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
  auto made = rewrite_from_patterns(name, lhs, rhs);
  if (!made) throw std::runtime_error(made.error());
  return std::move(made).value();
}

// n leaves "leaf<i>", each under one node `op`; returns the op nodes' classes.
inline std::vector<Id> wrapped_leaves(EGraph& g, const std::string& op, int n) {
  GlobalSymbol sym = SymbolTable::intern(op);
  std::vector<Id> ops;
  for (int i = 0; i < n; ++i) {
    Id leaf = g.add({SymbolTable::intern("leaf" + std::to_string(i)), {}});
    ops.push_back(g.add({sym, {leaf}}));
  }
  return ops;
}

}  // namespace nodalis::egraph::testing_rules
