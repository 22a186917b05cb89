// Searching with a Pattern and instantiating one.
#include "egraph/pattern.h"

#include <algorithm>
#include <span>

#include "base/fault.h"

namespace nodalis::egraph {
namespace {

// The position of v's binding in s; a missing variable is the internal
// fault that indexing s by it raises.
uint32_t place_of(const Subst& s, Var v) {
  for (size_t k = 0; k < s.size(); ++k) {
    if (s.at(k).first == v) return static_cast<uint32_t>(k);
  }
  (void)s[v];
  throw InternalFault("unreachable");
}

void require_clean(const EGraph& egraph) {
  if (!egraph.clean()) throw InternalFault("Tried to search a dirty e-graph!");
}

// A one-node program's matches among a class's nodes: the machine's Bind
// walk, in the same order (a long sorted list starts at the symbol's run and
// stops after it). `list()` gives the list to append to; it is asked once,
// at the first match, so a class without one costs no entry.
template <class List>
void match_nodes(const ClassNodes& nodes, const SymbolLang& shape, std::span<const std::pair<Var, uint32_t>> binds,
                 uint64_t& remaining, List&& list) {
  if (remaining == 0) return;
  const SymbolLang* it = nodes.begin();
  const SymbolLang* end = nodes.end();
  const bool skip = nodes.size() >= 50;
  if (skip) it = std::partition_point(it, end, [&](const SymbolLang& n) { return n.op() < shape.op(); });
  SubstList* out = nullptr;
  for (; it != end; ++it) {
    if (skip && it->op() != shape.op()) break;
    if (!it->matches(shape)) continue;
    if (out == nullptr) out = &list();
    Subst& found = out->emplace_back();
    const std::span<const Id> kids = it->children();
    for (const auto& [var, child] : binds) found.bind_unbound(var, kids[child]);
    if (--remaining == 0) return;
  }
}

}  // namespace

Result<Pattern, std::string> Pattern::parse(std::string_view text) {
  Result<PatternAst, std::string> ast = parse_pattern_ast(text);
  if (!ast) return Err{std::string(ast.error())};
  return Pattern(ast.value());
}

Pattern::Pattern(const PatternAst& ast) : ast_(compact(ast)), program_(compile(ast_)), vars_(pattern_vars(ast_)) {
  if (!ast_.empty() && !ast_.back().is_var()) {
    std::span<const Id> kids = ast_.back().node().children();
    flat_ = kids.size() + 1 == ast_.size() && kids.size() <= SymbolLang::kInline;
    for (size_t k = 0; flat_ && k < kids.size(); ++k) flat_ = kids[k] == k && ast_[k].is_var();
    for (size_t k = 0; flat_ && k < kids.size(); ++k) flat_vars_.push_back(ast_[k].var());
  }
  if (program_.instructions.size() != 1) return;
  const Bind* bind = std::get_if<Bind>(&program_.instructions[0]);
  if (!bind || bind->i != 0) return;
  for (size_t k = 0; k < program_.subst.size(); ++k) {
    const auto& [var, reg] = program_.subst.at(k);
    if (reg < bind->out || reg - bind->out >= bind->node.arity()) return;
    one_node_binds_.emplace_back(var, reg - bind->out);
  }
  one_node_ = true;
}

void Pattern::match(Machine& machine, const EGraph& egraph, Id eclass, uint64_t& remaining, SubstList& out) const {
  if (one_node_) {
    match_one_node(egraph, eclass, remaining, out);
  } else {
    machine.run(egraph, program_, eclass, remaining, out);
  }
}

void Pattern::match_one_node(const EGraph& egraph, Id eclass, uint64_t& remaining, SubstList& out) const {
  if (remaining == 0) return;
  const SymbolLang& shape = std::get<Bind>(program_.instructions[0]).node;
  match_nodes(egraph.index(eclass).nodes, shape, one_node_binds_, remaining, [&]() -> SubstList& { return out; });
}

std::optional<SymbolLang> Pattern::counted_shape() const {
  if (!one_node_) return std::nullopt;
  return std::get<Bind>(program_.instructions[0]).node;
}

std::optional<SearchMatches> Pattern::search_eclass_with_limit(const EGraph& egraph, Id eclass, uint64_t limit) const {
  if (limit == 0) return std::nullopt;
  require_clean(egraph);
  SubstList substs;
  uint64_t remaining = limit;
  Machine machine;
  match(machine, egraph, eclass, remaining, substs);
  if (substs.size() > limit) throw InternalFault("assertion failed: len <= limit");
  if (substs.empty()) return std::nullopt;
  return SearchMatches{eclass, std::move(substs), &ast_};
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph, uint64_t limit) const {
  std::vector<SearchMatches> found;
  search_with_limit_into(egraph, limit, found);
  return found;
}

void Pattern::search_with_limit_into(const EGraph& egraph, uint64_t limit, std::vector<SearchMatches>& found) const {
  found.clear();
  if (limit == 0 || ast_.empty()) return;
  require_clean(egraph);
  uint64_t remaining = limit;
  Machine machine;
  // Matches are found in place, in an entry that is dropped if the class
  // has none: moving a list of substitutions costs more than finding it.
  auto visit = [&](Id eclass) {
    uint64_t before = remaining;
    SearchMatches& entry = found.emplace_back();
    match(machine, egraph, eclass, remaining, entry.substs);
    if (entry.substs.size() > before) throw InternalFault("assertion failed: len <= limit");
    if (entry.substs.empty()) {
      found.pop_back();
    } else {
      entry.eclass = eclass;
      entry.ast = &ast_;
    }
  };
  const ENodeOrVar& root = ast_.back();
  if (one_node_) {
    // The candidates are roots, and an entry is made only for a class that
    // matches.
    const SymbolLang& shape = std::get<Bind>(program_.instructions[0]).node;
    OpIndex::Range candidates = egraph.classes_with_op(shape.op());
    found.reserve(std::min<uint64_t>(candidates.size(), limit));
    constexpr size_t kAhead = 8;
    for (size_t c = 0; c < candidates.size(); ++c) {
      if (remaining == 0) break;
      if (c + kAhead < candidates.size()) egraph.prefetch_class(candidates[c + kAhead]);
      const Id eclass = candidates[c];
      match_nodes(egraph.root_nodes(eclass), shape, one_node_binds_, remaining, [&]() -> SubstList& {
        SearchMatches& entry = found.emplace_back();
        entry.eclass = eclass;
        entry.ast = &ast_;
        return entry.substs;
      });
    }
    return;
  }
  if (root.is_var()) {
    egraph.for_each_class([&](const EClass& ec) {
      if (remaining > 0) visit(ec.id);
    });
  } else {
    OpIndex::Range candidates = egraph.classes_with_op(root.node().op());
    found.reserve(std::min<uint64_t>(candidates.size(), limit));
    for (Id eclass : candidates) {
      if (remaining == 0) break;
      visit(eclass);
    }
  }
}

// Inline: every application of a flat rule builds its instance here.
[[gnu::always_inline]] inline SymbolLang Pattern::flat_instance(const Subst& subst,
                                                                 uint32_t (&at)[SymbolLang::kInline]) const {
  Id kids[SymbolLang::kInline];
  for (size_t k = 0; k < flat_vars_.size(); ++k) {
    const Var v = flat_vars_[k];
    if (at[k] >= subst.size() || subst.at(at[k]).first != v) at[k] = place_of(subst, v);
    kids[k] = subst.at(at[k]).second;
  }
  return SymbolLang(ast_.back().node().op(), std::span<const Id>(kids, flat_vars_.size()));
}

Id Pattern::instantiate(EGraph& egraph, const Subst& subst, std::vector<Id>& ids) const {
  // The same lookups in the same order as the walk below.
  if (flat_) {
    uint32_t at[SymbolLang::kInline] = {};
    return egraph.add(flat_instance(subst, at));
  }
  for (size_t i = 0; i < ast_.size(); ++i) {
    const ENodeOrVar& n = ast_[i];
    if (n.is_var()) {
      ids[i] = subst[n.var()];
      continue;
    }
    SymbolLang node = n.node();
    for (Id& c : node.children()) c = ids[c];
    ids[i] = egraph.add(std::move(node));
  }
  return ids.back();
}

std::vector<Id> Pattern::apply_one(EGraph& egraph, Id /*eclass*/, const Subst& subst, GlobalSymbol /*rule_name*/) const {
  if (ast_.empty()) return {};
  std::vector<Id> ids(ast_.size());
  return {instantiate(egraph, subst, ids)};
}

template <class Changed>
void Pattern::apply_each(EGraph& egraph, const std::vector<SearchMatches>& matches, Changed&& changed) const {
  if (ast_.empty()) return;
  // Scratch for the instances' ids, kept by the thread: a small reduction
  // applies a dozen rules and would otherwise allocate it for each.
  static thread_local std::vector<Id> ids;
  ids.resize(ast_.size());
  // Where each of a flat instance's variables sits in a substitution: one
  // search binds its variables in one order, so the place found once is
  // only confirmed afterwards.
  uint32_t at[SymbolLang::kInline] = {};
  // The matched classes are read far apart on a large e-graph: the class of
  // a match some way ahead is fetched while this one is applied.
  constexpr size_t kAhead = 4;
  for (size_t at_match = 0; at_match < matches.size(); ++at_match) {
    const SearchMatches& m = matches[at_match];
    if (at_match + kAhead < matches.size()) egraph.prefetch_class(matches[at_match + kAhead].eclass);
    for (const Subst& s : m.substs) {
      // An instance the matched class already lists is found by the add and
      // already united with the class: applying it again changes nothing.
      // Rules applied in an earlier iteration find mostly such matches.
      Id id;
      if (flat_) {
        SymbolLang instance = flat_instance(s, at);
        if (egraph.lists_node(m.eclass, instance)) continue;
        id = egraph.add(std::move(instance));
      } else {
        id = instantiate(egraph, s, ids);
      }
      if (egraph.merge(id, m.eclass)) changed(id);
    }
  }
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                       GlobalSymbol /*rule_name*/) const {
  std::vector<Id> changed;
  apply_each(egraph, matches, [&](Id id) { changed.push_back(id); });
  return changed;
}

uint64_t Pattern::count_applied(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                GlobalSymbol /*rule_name*/) const {
  uint64_t count = 0;
  apply_each(egraph, matches, [&](Id) { ++count; });
  return count;
}

}  // namespace nodalis::egraph
