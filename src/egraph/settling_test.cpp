// Settled rules: which rules settle, that the scheduler's count-only decision
// is the one a search makes, and that a run deciding settled rules by count
// records the same iterations and leaves the same classes as one that lists
// and applies every match (a run with a hook settles nothing).
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "egraph/rule_fixtures.h"
#include "egraph/runner.h"
#include "egraph/scheduler.h"

namespace nodalis::egraph {
namespace {

using testing_rules::rule;
using testing_rules::wrapped_leaves;

GlobalSymbol sym(const char* text) { return SymbolTable::intern(text); }

TEST(Settling, OnlyCollapsesAndSwapsOfOneNodeOverDistinctVariablesSettle) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"(f ?a ?b)", "(f ?b ?a)", true},
      {"(f ?x)", "?x", true},
      {"(f ?a ?b)", "?b", true},
      {"(f ?a ?b)", "(f ?a ?b)", false},
      {"(f ?a ?b)", "(g ?b ?a)", false},
      {"(f ?a ?b ?c)", "(f ?b ?a ?c)", false},
      {"(f ?a ?b)", "(f ?b (g ?a))", false},
      {"(f (g ?a) ?b)", "?a", false},
      {"(f ?a ?a)", "?a", false},
      {"?a", "?a", false},
  };
  for (const auto& [lhs, rhs, settles] : cases) {
    Rewrite r = rule("r", lhs, rhs);
    ASSERT_EQ(r.settling_shape().has_value(), settles) << lhs << " => " << rhs;
    if (settles) {
      EXPECT_EQ(r.settling_shape()->op(), sym("f"));
    }
  }
}

TEST(Settling, APatternApplierAddsTheShapesOfItsNodesOnly) {
  Rewrite r = rule("r", "(f ?a ?b)", "(g (h ?a) ?b)");
  EXPECT_TRUE(r.may_add(SymbolLang(sym("g"), 2)));
  EXPECT_TRUE(r.may_add(SymbolLang(sym("h"), 1)));
  EXPECT_FALSE(r.may_add(SymbolLang(sym("f"), 2)));
  EXPECT_FALSE(r.may_add(SymbolLang(sym("g"), 1)));
  EXPECT_FALSE(rule("c", "(f ?x)", "?x").may_add(SymbolLang(sym("f"), 1)));
}

// A scheduler deciding by count and one searching, side by side over the
// iterations of a ban and its expiry, with the counting one searching only
// when the count says the search would ban.
TEST(Settling, TheCountOnlyDecisionIsTheSearchsOne) {
  for (int n : {0, 3, 1000, 1001, 2500}) {
    EGraph g;
    wrapped_leaves(g, "t", n);
    g.rebuild();
    Rewrite r = rule("collapse", "(t ?x)", "?x");
    const SymbolLang shape = *r.settling_shape();
    BackoffScheduler searching, counting;
    for (uint64_t it = 0; it < 12; ++it) {
      const uint64_t bans_before = searching.stats().empty() ? 0 : searching.stats()[0].second.times_banned;
      std::vector<SearchMatches> found;
      const bool passed = searching.search_rewrite_into(it, g, r, found);
      uint64_t listed = 0;
      for (const SearchMatches& m : found) listed += m.substs.size();
      EXPECT_EQ(listed, passed ? static_cast<uint64_t>(n) : 0u);
      const bool banned_now = searching.stats()[0].second.times_banned > bans_before;
      const bool decided = counting.pass_unsearched(it, g, r, shape);
      EXPECT_EQ(decided, !banned_now) << "n " << n << " iteration " << it;
      if (!decided) {
        std::vector<SearchMatches> again;
        EXPECT_FALSE(counting.search_rewrite_into(it, g, r, again));
      }
      const RuleStats& a = searching.stats().at(0).second;
      const RuleStats& b = counting.stats().at(0).second;
      EXPECT_EQ(std::tie(a.times_applied, a.banned_until, a.times_banned),
                std::tie(b.times_applied, b.banned_until, b.times_banned))
          << "n " << n << " iteration " << it;
      if (it % 3 == 2) {
        searching.can_stop(it);
        counting.can_stop(it);
      }
    }
  }
}

struct Outcome {
  std::vector<std::tuple<std::vector<std::pair<GlobalSymbol, uint64_t>>, uint64_t, uint64_t, uint64_t,
                         std::optional<StopReason>>>
      iterations;
  std::vector<Id> roots;
};

Outcome run(const EGraph& start, const std::vector<Rewrite>& rules, bool with_hook, uint64_t iter_limit = 30) {
  Runner runner;
  runner.set_egraph(EGraph(start)).set_iter_limit(iter_limit).set_node_limit(1 << 20);
  if (with_hook) runner.add_hook([](Runner&) { return std::optional<std::string>(); });
  runner.run(rules);
  Outcome out;
  for (const Iteration& it : runner.iterations()) {
    out.iterations.emplace_back(it.applied, it.egraph_nodes, it.egraph_classes, it.rebuild_unions, it.stop_reason);
  }
  for (Id id = 0; id < runner.egraph().id_count(); ++id) out.roots.push_back(runner.egraph().find(id));
  return out;
}

// A random graph over leaves, with nodes of every symbol the rules below
// name, some of them sharing operands.
EGraph random_graph(unsigned seed, int n) {
  std::mt19937 rng(seed);
  EGraph g;
  std::vector<Id> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(g.add({SymbolTable::intern("leaf" + std::to_string(i)), {}}));
  const char* binary[] = {"f", "g", "h"};
  const char* unary[] = {"t", "u"};
  for (int i = 0; i < n; ++i) {
    auto pick = [&] { return ids[std::uniform_int_distribution<size_t>(0, ids.size() - 1)(rng)]; };
    if (rng() % 3 == 0) {
      ids.push_back(g.add({sym(unary[rng() % 2]), {pick()}}));
    } else {
      ids.push_back(g.add({sym(binary[rng() % 3]), {pick(), pick()}}));
    }
  }
  return g;
}

TEST(Settling, RunsRecordTheSameIterationsAndClassesAsRunsThatApplyEveryMatch) {
  const std::vector<std::vector<Rewrite>> rule_sets = {
      // Every rule settles.
      {rule("swap-f", "(f ?a ?b)", "(f ?b ?a)"), rule("swap-g", "(g ?a ?b)", "(g ?b ?a)"),
       rule("drop-t", "(t ?x)", "?x")},
      // h makes f nodes, so swap-f must not settle while make-f runs.
      {rule("swap-f", "(f ?a ?b)", "(f ?b ?a)"), rule("make-f", "(h ?a ?b)", "(f ?a ?b)"),
       rule("drop-u", "(u ?x)", "?x")},
      // Rules that never settle beside ones that do; u grows until the limit.
      {rule("swap-g", "(g ?a ?b)", "(g ?b ?a)"), rule("wrap-u", "(u ?x)", "(u (t ?x))"),
       rule("drop-t", "(t ?x)", "?x"), rule("pick-h", "(h ?a ?b)", "?a")},
  };
  for (size_t set = 0; set < rule_sets.size(); ++set) {
    for (unsigned seed : {1u, 2u, 3u}) {
      for (int n : {20, 400, 5000}) {
        const EGraph start = random_graph(seed, n);
        Outcome settled = run(start, rule_sets[set], false, 8);
        Outcome applied = run(start, rule_sets[set], true, 8);
        EXPECT_EQ(settled.iterations, applied.iterations) << "set " << set << " seed " << seed << " n " << n;
        EXPECT_EQ(settled.roots, applied.roots) << "set " << set << " seed " << seed << " n " << n;
      }
    }
  }
}

TEST(Settling, ARuleWhoseShapeAnotherRuleAddsKeepsBeingApplied) {
  // make-f adds f(x, y) in the first iteration, after swap-f found no f
  // nodes; only swap-f's next search can add f(y, x).
  EGraph g;
  Id x = g.add({sym("x"), {}});
  Id y = g.add({sym("y"), {}});
  Id h = g.add({sym("h"), {x, y}});
  Runner runner;
  runner.set_egraph(std::move(g));
  std::vector<Rewrite> rules{rule("swap-f", "(f ?a ?b)", "(f ?b ?a)"), rule("make-f", "(h ?a ?b)", "(f ?a ?b)")};
  runner.run(rules);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  ASSERT_EQ(runner.iterations().size(), 3u);
  EXPECT_EQ(runner.egraph().lookup(SymbolLang(sym("f"), {y, x})), runner.egraph().find(h));
}

}  // namespace
}  // namespace nodalis::egraph
