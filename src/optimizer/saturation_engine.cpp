// The rule table, and canonicalize: load, saturate, read back. Texts that a
// rule mentions are interned process-wide, since the rules' patterns name
// them; every other text (opaque tokens, parameterized ops) gets a symbol local
// to the call, so reducing many graphs does not grow the symbol table forever.
#include "optimizer/saturation_engine.h"

#include <memory>
#include <span>
#include <string>
#include <type_traits>

#include "base/fault.h"
#include "egraph/egraph.h"
#include "egraph/runner.h"
#include "egraph/symbol_table.h"

namespace nodalis::opt {

namespace {

// Past this many nodes the read-back's arrays outgrow a core's caches.
constexpr size_t kFarNodes = size_t{1} << 14;

egraph::Rewrite rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
  auto made = egraph::rewrite_from_patterns(name, lhs, rhs);
  if (!made) throw InternalFault("rule " + name + " does not build: " + made.error());
  return std::move(made).value();
}

}  // namespace

SaturationEngine::SaturationEngine() {
  rules_.reserve(kCommutativeNames.size() + kIdentityTexts.size());
  for (std::string_view name : kCommutativeNames) {
    std::string n(name);
    rules_.push_back(rule("commute-" + n, "(op|" + n + " ?a ?b)", "(op|" + n + " ?b ?a)"));
    rule_symbols_.emplace_back("op|" + n, egraph::SymbolTable::intern("op|" + n));
  }
  for (size_t k = 0; k < kIdentityTexts.size(); ++k) {
    std::string t(kIdentityTexts[k]);
    rules_.push_back(rule("identity-" + std::to_string(k), "(" + t + " ?x)", "?x"));
    rule_symbols_.emplace_back(t, egraph::SymbolTable::intern(t));
  }
}

egraph::GlobalSymbol SaturationEngine::rule_symbol(std::string_view text) const {
  for (const auto& [t, symbol] : rule_symbols_)
    if (t == text) return symbol;
  return egraph::SymbolTable::intern(text);
}

const SaturationEngine& SaturationEngine::shared() {
  static const SaturationEngine engine;
  return engine;
}

egraph::Runner SaturationEngine::saturate(const EngineGraph& g, std::vector<egraph::Id>& ids) const {
  const size_t n = g.size();
  const OpTexts& texts = g.texts();
  for (EnginePos o : g.outputs())
    if (o >= n) throw InternalFault("position out of range");

  if (texts.size() > static_cast<uint64_t>(egraph::GlobalSymbol::kMaxLocal) + 1)
    throw CapacityError("too many distinct op texts for the e-graph's symbols");
  // Symbols by text id; only texts some node uses are given one. A rule's
  // text has the symbol its patterns were given, found among the engine's.
  // Each entry is a symbol's value with a bit above it marking it given.
  constexpr uint64_t kGiven = uint64_t{1} << 32;
  ScratchVector<uint64_t> symbol(texts.size(), 0);
  uint32_t next_local = 0;
  auto symbol_of = [&](TextId t) {
    if (symbol[t] == 0) {
      egraph::GlobalSymbol s = texts.role(t) != RuleRole::None ? rule_symbol(texts.text(t))
                                                               : egraph::GlobalSymbol::local(next_local++);
      symbol[t] = kGiven | s.raw();
    }
    return egraph::GlobalSymbol::from_raw(static_cast<uint32_t>(symbol[t]));
  };

  ids.assign(n, 0);
  egraph::Runner runner;
  {
    // Loaded where the runner holds it, into the room taken over in place:
    // each hand-over swaps all of the e-graph's fields, which a small graph
    // notices.
    egraph::EGraph& loaded = runner.egraph();
    loaded.take_kept_room();
    // A graph whose nodes are all distinct (the usual case: they come from
    // a hash-consed store) is loaded in one go, node i as class i, so a
    // node's children are its positions as they stand.
    static_assert(std::is_same_v<EnginePos, egraph::Id>);
    auto distinct_at = [&](size_t i) {
      std::span<const EnginePos> kids = g.children(static_cast<EnginePos>(i));
      for (EnginePos c : kids)
        if (c >= i) throw InternalFault("position out of range");
      return egraph::SymbolLang(symbol_of(g.op(static_cast<EnginePos>(i))), kids);
    };
    for (size_t i = 0; i < n; ++i) ids[i] = static_cast<egraph::Id>(i);
    if (!loaded.add_all_distinct(n, distinct_at)) {
      loaded.reserve(n);
      // Adding is hash-consed: a node equal to an earlier one gets its class.
      std::vector<egraph::Id> kids;
      for (size_t i = 0; i < n; ++i) {
        kids.clear();
        for (EnginePos c : g.children(static_cast<EnginePos>(i))) {
          if (c >= i) throw InternalFault("position out of range");
          kids.push_back(ids[c]);
        }
        ids[i] = loaded.add(egraph::SymbolLang(symbol_of(g.op(static_cast<EnginePos>(i))), kids));
      }
    }
    runner.set_iter_limit(iter_limit_).set_node_limit(4 * static_cast<uint64_t>(n) + 1024);
  }
  // Whatever stopped the run, the classes it leaves are sound: every union
  // follows from the rules.
  runner.run(rules_);
  return runner;
}

EngineGraph SaturationEngine::canonicalize(const EngineGraph& g) const {
  const size_t n = g.size();
  ScratchVector<egraph::Id> ids;
  egraph::Runner runner = saturate(g, ids);
  const egraph::EGraph& eg = runner.egraph();

  // Class ids are dense, so the class map is a flat array. It holds each
  // class's first node, and once that node is written, its place in the
  // result: places never exceed positions, so a later node of the class
  // still finds its own position absent. A node's children come before it,
  // and so do their classes' first nodes, already written: the class of a
  // first node is never its child's.
  // In a large graph the classes are far apart: each pass asks for the
  // entries it will read some way ahead, and the writing pass turns canon[i]
  // into node i's place as it goes, so that a child's place is one read
  // rather than two that wait on each other.
  constexpr EnginePos kNone = ~EnginePos{0};
  constexpr size_t kAhead = 16;
  const bool far = n > kFarNodes;
  ScratchRoom<egraph::Id> canon;
  canon.resize(n);
  ScratchVector<EnginePos> slot(eg.id_count(), kNone);
  for (size_t i = 0; i < n; ++i) {
    if (far && i + kAhead < n) eg.prefetch_find(ids[i + kAhead]);
    canon[i] = eg.find(ids[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    if (far && i + kAhead < n) __builtin_prefetch(&slot[canon[i + kAhead]]);
    if (slot[canon[i]] == kNone) slot[canon[i]] = static_cast<EnginePos>(i);
  }
  EngineGraph out(g.shared_texts());
  out.reserve(n, g.child_count(), g.outputs().size());
  // Every node's children fit in one buffer as long as the graph's child
  // list, so it is sized once and written with no room test per child.
  ScratchRoom<EnginePos> kid_room;
  kid_room.resize(g.child_count());
  EnginePos* const kids = kid_room.data();
  ScratchRoom<EnginePos>& place = canon;  // canon[c] is c's place once c is passed
  for (size_t i = 0; i < n; ++i) {
    if (far && i + kAhead < n) {
      __builtin_prefetch(&slot[canon[i + kAhead]]);
      for (EnginePos c : g.children(static_cast<EnginePos>(i + kAhead / 2))) __builtin_prefetch(&place[c]);
    }
    EnginePos& at = slot[canon[i]];
    if (at != i) {
      place[i] = at;
      continue;
    }
    size_t k = 0;
    for (EnginePos c : g.children(static_cast<EnginePos>(i))) kids[k++] = place[c];
    at = out.add_node(g.op(static_cast<EnginePos>(i)), {kids, k});
    place[i] = at;
  }
  for (EnginePos o : g.outputs()) out.add_output(place[o]);
  // Two nodes written here are equal only if their classes hold the same
  // canonical node: same text, so same symbol, and children of the same
  // classes, as a class has one place. A rebuilt e-graph is closed under
  // congruence, so such classes are one, and each class is written once.
  if (eg.clean()) out.vouch_distinct();
  egraph::EGraph::keep_room(std::move(runner.egraph()));
  return out;
}

}  // namespace nodalis::opt
