// Rewrite construction and its one check.
#include "egraph/rewrite.h"

#include <algorithm>
#include <string>

#include "base/fault.h"
#include "egraph/pattern.h"

namespace nodalis::egraph {

Result<Rewrite, std::string> Rewrite::make(std::string_view name, std::shared_ptr<const Searcher> searcher,
                               std::shared_ptr<const Applier> applier) {
  if (!searcher || !applier) throw InternalFault("Rewrite " + std::string(name) + " needs a searcher and an applier");
  GlobalSymbol sym = SymbolTable::intern(name);
  std::vector<Var> bound = searcher->vars();
  for (Var v : applier->vars()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return Err{std::string("Rewrite " + std::string(name) + " refers to unbound var " + v.text())};
    }
  }
  return Rewrite(sym, std::move(searcher), std::move(applier));
}

Result<Rewrite, std::string> rewrite_from_patterns(std::string_view name, std::string_view lhs, std::string_view rhs) {
  Result<Pattern, std::string> searcher = Pattern::parse(lhs);
  if (!searcher) return Err{std::string(searcher.error())};
  Result<Pattern, std::string> applier = Pattern::parse(rhs);
  if (!applier) return Err{std::string(applier.error())};
  return Rewrite::make(name, std::make_shared<const Pattern>(std::move(searcher).value()),
                       std::make_shared<const Pattern>(std::move(applier).value()));
}

}  // namespace nodalis::egraph
