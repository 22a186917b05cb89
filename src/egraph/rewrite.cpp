// Rewrite construction and its one check.
#include "egraph/rewrite.h"

#include <algorithm>
#include <string>

#include "egraph/fault.h"

namespace nodalis::egraph {

Checked<Rewrite> Rewrite::make(std::string_view name, std::shared_ptr<const Searcher> searcher,
                               std::shared_ptr<const Applier> applier) {
  if (!searcher || !applier) throw EngineFault("Rewrite " + std::string(name) + " needs a searcher and an applier");
  GlobalSymbol sym = SymbolTable::intern(name);
  std::vector<Var> bound = searcher->vars();
  for (Var v : applier->vars()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return Failure{"Rewrite " + std::string(name) + " refers to unbound var " + v.text()};
    }
  }
  return Rewrite(sym, std::move(searcher), std::move(applier));
}

}  // namespace nodalis::egraph
