// Rewrite construction and its one check.
#include "egraph/rewrite.h"

#include <algorithm>
#include <string>

#include "base/fault.h"
#include "egraph/pattern.h"

namespace nodalis::egraph {

namespace {

// The variable at child k of a pattern's root node, if it is one.
std::optional<Var> root_var(const PatternAst& ast, size_t k) {
  const ENodeOrVar& child = ast[ast.back().node().children()[k]];
  if (!child.is_var()) return std::nullopt;
  return child.var();
}

// Whether a rule searching `lhs` and applying `rhs` settles (see
// Rewrite::settling_shape).
bool settles(const Pattern& lhs, const Pattern& rhs) {
  if (!lhs.counted_shape()) return false;  // not one node over distinct variables
  const PatternAst& out = rhs.ast();
  if (out.size() == 1 && out[0].is_var()) return true;  // bound by lhs: make checks
  const PatternAst& in = lhs.ast();
  if (out.empty() || out.back().is_var() || !out.back().node().matches(in.back().node())) return false;
  if (in.back().node().arity() != 2) return false;
  for (size_t k = 0; k < 2; ++k) {
    std::optional<Var> swapped = root_var(out, k);
    if (!swapped || swapped != root_var(in, 1 - k)) return false;
  }
  return true;
}

}  // namespace

Rewrite::Rewrite(GlobalSymbol name, std::shared_ptr<const Searcher> searcher, std::shared_ptr<const Applier> applier)
    : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {
  const auto* rhs = dynamic_cast<const Pattern*>(applier_.get());
  if (rhs == nullptr) return;
  adds_anything_ = false;
  added_bits_ = 0;
  for (const ENodeOrVar& n : rhs->ast()) {
    if (n.is_var()) continue;
    adds_.emplace_back(n.node().op(), n.node().arity());
    added_bits_ |= shape_bit(adds_.back());
  }
  const auto* lhs = dynamic_cast<const Pattern*>(searcher_.get());
  if (lhs != nullptr && settles(*lhs, *rhs)) settling_ = lhs->counted_shape();
}

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
