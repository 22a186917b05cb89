// The saturation loop end to end: every stop reason, limits checked between
// rules, bans fast-forwarded when nothing else is left, hooks, and the
// duplicate-name warning.
#include "egraph/runner.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "base/fault.h"
#include "egraph/rule_fixtures.h"

namespace nodalis::egraph {

// Readable failure messages for stop reasons.
void PrintTo(const StopReason& reason, std::ostream* os) { *os << reason.describe(); }

namespace {

using testing_rules::rule;
using testing_rules::wrapped_leaves;

GlobalSymbol sym(const char* text) { return SymbolTable::intern(text); }

uint64_t applied(const Iteration& it, const char* name) {
  for (const auto& [n, count] : it.applied) {
    if (n == sym(name)) return count;
  }
  return 0;
}

std::vector<Rewrite> commute_and_identities() {
  return {rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"),
          rule("commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)"),
          rule("identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x"),
          rule("identity-3", "(op|mul|scalar=f3ff0000000000000;side=sl ?x)", "?x")};
}

TEST(Runner, DefaultsAndAnEmptyGraphSaturateInOneIteration) {
  Runner runner;
  EXPECT_EQ(runner.iter_limit(), 30u);
  EXPECT_EQ(runner.node_limit(), 10000u);
  EXPECT_EQ(runner.time_limit(), std::chrono::seconds(5));
  auto rules = commute_and_identities();
  runner.run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(runner.iterations()[0].stop_reason, StopReason::saturated());
  EXPECT_TRUE(runner.egraph().clean());
}

TEST(Runner, IdentitiesAndCommutativityMergeTheExpectedClasses) {
  EGraph g;
  Id x = g.add({sym("src|x"), {}});
  Id y = g.add({sym("src|y"), {}});
  Id x0 = g.add({sym("op|add|scalar=f0000000000000000;side=sr"), {x}});
  Id x01 = g.add({sym("op|mul|scalar=f3ff0000000000000;side=sl"), {x0}});
  Id m1 = g.add({sym("op|mul"), {x01, y}});
  Id m2 = g.add({sym("op|mul"), {y, x}});
  Id other = g.add({sym("op|sub"), {x, y}});
  Id other2 = g.add({sym("op|sub"), {y, x}});
  Runner runner;
  runner.set_egraph(std::move(g)).set_iter_limit(12);
  auto rules = commute_and_identities();
  runner.run(rules);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  const EGraph& out = runner.egraph();
  EXPECT_EQ(out.find(x0), out.find(x));
  EXPECT_EQ(out.find(x01), out.find(x));
  EXPECT_EQ(out.find(m1), out.find(m2)) << "identity then commutativity then congruence";
  EXPECT_NE(out.find(other), out.find(other2));
  EXPECT_NE(out.find(x), out.find(y));
  EXPECT_EQ(applied(runner.iterations()[0], "identity-0"), 1u);
}

TEST(Runner, AnApplicationThatChangesNothingDoesNotCount) {
  EGraph g;
  Id x = g.add({sym("x"), {}});
  Id y = g.add({sym("y"), {}});
  g.add({sym("op|add"), {x, y}});
  Runner runner;
  runner.set_egraph(std::move(g));
  std::vector<Rewrite> rules{rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")};
  runner.run(rules);
  ASSERT_EQ(runner.iterations().size(), 2u);
  EXPECT_EQ(applied(runner.iterations()[0], "commute-add"), 1u);
  EXPECT_TRUE(runner.iterations()[1].applied.empty());
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(runner.iterations()[1].egraph_nodes, 4u);
}

TEST(Runner, ABannedRuleIsFastForwardedAndAppliedNextIteration) {
  EGraph g;
  std::vector<Id> ops = wrapped_leaves(g, "op|add|scalar=f0000000000000000;side=sr", 1500);
  Runner runner;
  runner.set_egraph(std::move(g)).set_iter_limit(12).set_node_limit(4 * 3000 + 1024);
  std::vector<Rewrite> rules{rule("identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x")};
  runner.run(rules);
  const auto& its = runner.iterations();
  ASSERT_EQ(its.size(), 3u);
  EXPECT_TRUE(its[0].applied.empty()) << "1500 > 1000: banned, matches dropped";
  EXPECT_EQ(applied(its[1], "identity-0"), 1500u) << "threshold 2000 admits them";
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(runner.egraph().class_count(), 1500u);
  EXPECT_EQ(runner.egraph().find(ops[0]), runner.egraph().find(runner.egraph().lookup({sym("leaf0"), {}}).value()));
}

TEST(Runner, IterationLimitCountsRecordedIterations) {
  EGraph g;
  wrapped_leaves(g, "f", 1);
  Runner runner;
  runner.set_egraph(std::move(g)).set_iter_limit(3);
  std::vector<Rewrite> rules{rule("grow", "(f ?x)", "(f (s ?x))")};
  runner.run(rules);
  EXPECT_EQ(runner.iterations().size(), 3u);
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(3));
  EXPECT_FALSE(runner.iterations().back().stop_reason.has_value()) << "found by the check after the record";
  EXPECT_TRUE(runner.egraph().clean());
}

TEST(Runner, NodeLimitIsCheckedAfterEachRuleApplication) {
  EGraph g;
  wrapped_leaves(g, "f", 5);
  wrapped_leaves(g, "h", 5);
  g.rebuild();
  uint64_t start = g.memo_entries();  // 20
  Runner runner;
  // The first rule's five new nodes cross the limit, so the second rule's
  // matches are dropped.
  runner.set_egraph(std::move(g)).set_node_limit(start + 2);
  std::vector<Rewrite> rules{rule("grow-f", "(f ?x)", "(g (f ?x))"), rule("grow-h", "(h ?x)", "(k (h ?x))")};
  runner.run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  const Iteration& it = runner.iterations()[0];
  EXPECT_EQ(runner.stop_reason(), StopReason::node_limit(start + 5));
  EXPECT_EQ(it.stop_reason, StopReason::node_limit(start + 5));
  EXPECT_EQ(applied(it, "grow-f"), 5u);
  EXPECT_EQ(applied(it, "grow-h"), 0u);
  EXPECT_TRUE(runner.egraph().clean());
}

TEST(Runner, NodeLimitAlreadyExceededSkipsSearchAndApply) {
  EGraph g;
  wrapped_leaves(g, "f", 5);
  Runner runner;
  bool hook_ran = false;
  runner.set_egraph(std::move(g)).set_node_limit(3).add_hook([&](Runner&) {
    hook_ran = true;
    return std::optional<std::string>{};
  });
  std::vector<Rewrite> rules{rule("grow", "(f ?x)", "(f (s ?x))")};
  runner.run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::node_limit(10));
  EXPECT_FALSE(hook_ran);
}

TEST(Runner, TimeLimitAlreadyPassedRecordsOneIteration) {
  EGraph g;
  wrapped_leaves(g, "f", 5);
  Runner runner;
  int hook_calls = 0;
  runner.set_egraph(std::move(g)).set_time_limit(std::chrono::nanoseconds(0)).add_hook([&](Runner&) {
    ++hook_calls;
    return std::optional<std::string>{};
  });
  std::vector<Rewrite> rules{rule("grow", "(f ?x)", "(f (s ?x))")};
  runner.run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::TimeLimit);
  EXPECT_GT(runner.stop_reason()->seconds, 0.0);
  EXPECT_EQ(hook_calls, 0);
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  EXPECT_EQ(runner.egraph().memo_entries(), 10u);
}

TEST(Runner, TimeLimitIsCheckedAfterEachSearch) {
  // A limit within the coarse clock's slack, and one beyond it that the hook
  // overruns by less than the slack.
  const std::pair<std::chrono::milliseconds, std::chrono::milliseconds> cases[] = {
      {std::chrono::milliseconds(20), std::chrono::milliseconds(40)},
      {std::chrono::milliseconds(100), std::chrono::milliseconds(120)}};
  for (const auto& [limit, sleep] : cases) {
    EGraph g;
    wrapped_leaves(g, "f", 5);
    Runner runner;
    runner.set_egraph(std::move(g)).set_time_limit(limit).add_hook([sleep](Runner&) {
      std::this_thread::sleep_for(sleep);
      return std::optional<std::string>{};
    });
    std::vector<Rewrite> rules{rule("grow", "(f ?x)", "(f (s ?x))")};
    runner.run(rules);
    ASSERT_EQ(runner.iterations().size(), 1u);
    EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::TimeLimit);
    EXPECT_GE(runner.stop_reason()->seconds, std::chrono::duration<double>(sleep).count());
    EXPECT_TRUE(runner.iterations()[0].applied.empty()) << "the search's matches are never applied";
  }
}

TEST(Runner, AFailingHookStopsTheRunButTheIterationStillRebuilds) {
  EGraph g;
  Id x = g.add({sym("x"), {}});
  Id y = g.add({sym("y"), {}});
  Id fx = g.add({sym("f"), {x}});
  Id fy = g.add({sym("f"), {y}});
  Runner runner;
  int second_hook_calls = 0;
  runner.set_egraph(std::move(g))
      .add_hook([&](Runner& r) -> std::optional<std::string> {
        r.egraph().merge(x, y);
        return "hook says stop";
      })
      .add_hook([&](Runner&) {
        ++second_hook_calls;
        return std::optional<std::string>{};
      });
  std::vector<Rewrite> rules{rule("grow", "(f ?x)", "(f (s ?x))")};
  runner.run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::other("hook says stop"));
  EXPECT_EQ(runner.stop_reason()->describe(), "Other(hook says stop)");
  EXPECT_EQ(second_hook_calls, 0);
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  EXPECT_EQ(runner.iterations()[0].rebuild_unions, 1u) << "f(x) = f(y) by congruence";
  EXPECT_TRUE(runner.egraph().clean());
  EXPECT_EQ(runner.egraph().find(fx), runner.egraph().find(fy));
}

TEST(Runner, HooksSeeTheRunnerBetweenIterations) {
  EGraph g;
  wrapped_leaves(g, "f", 1);
  Runner runner;
  std::vector<size_t> seen;
  runner.set_egraph(std::move(g)).set_iter_limit(4).add_hook([&](Runner& r) {
    seen.push_back(r.iterations().size());
    return std::optional<std::string>{};
  });
  std::vector<Rewrite> rules{rule("grow", "(f ?x)", "(f (s ?x))")};
  runner.run(rules);
  EXPECT_EQ(seen, (std::vector<size_t>{0, 1, 2, 3}));
}

TEST(Runner, AGraphAHookChangedIsNotSaturated) {
  // Rules that match nothing apply nothing; only the hook's new node tells
  // the runner that the graph moved in the first iteration.
  EGraph g;
  wrapped_leaves(g, "f", 1);
  Runner runner;
  int calls = 0;
  runner.set_egraph(std::move(g)).add_hook([&](Runner& r) {
    if (calls++ == 0) {
      r.egraph().add({sym("extra"), {}});
      r.egraph().rebuild();
    }
    return std::optional<std::string>{};
  });
  std::vector<Rewrite> rules{rule("never", "(absent ?x)", "?x")};
  runner.run(rules);
  EXPECT_EQ(runner.iterations().size(), 2u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
}

TEST(Runner, DuplicateRuleNamesAreNotedNotPrintedAndRunOn) {
  EGraph g;
  wrapped_leaves(g, "a", 2);
  wrapped_leaves(g, "b", 2);
  Runner runner;
  runner.set_egraph(std::move(g));
  std::vector<Rewrite> rules{rule("twice", "(a ?x)", "?x"), rule("twice", "(b ?x)", "?x"),
                             rule("once", "(c ?x)", "?x")};
  testing::internal::CaptureStderr();
  runner.run(rules);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(runner.rule_warning(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'twice' appears 2 times\n");
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(applied(runner.iterations()[0], "twice"), 4u);
  EXPECT_EQ(check_rules(std::span<const Rewrite>(rules).subspan(1)), std::nullopt);
}

TEST(Runner, RuleNamesWhoseSymbolsShareLowBitsAreToldApart) {
  // Two names whose symbols agree in their low eight bits: among 257 there
  // are always two.
  std::string first, second;
  std::vector<std::string> seen(256);
  for (int k = 0; second.empty(); ++k) {
    std::string name = "low-bits-" + std::to_string(k);
    std::string& slot = seen[SymbolTable::intern(name).raw() & 255];
    if (slot.empty()) {
      slot = name;
    } else {
      first = slot;
      second = name;
    }
  }
  std::vector<Rewrite> apart{rule(first, "(a ?x)", "?x"), rule(second, "(b ?x)", "?x")};
  EXPECT_EQ(check_rules(apart), std::nullopt);
  apart.push_back(rule(second, "(c ?x)", "?x"));
  EXPECT_EQ(check_rules(apart), "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
                                "Rule '" + second + "' appears 2 times\n");

  EGraph g;
  wrapped_leaves(g, "b", 2);
  wrapped_leaves(g, "c", 3);
  g.rebuild();
  BackoffScheduler s;
  for (const Rewrite& r : apart) s.search_rewrite(0, g, r);
  ASSERT_EQ(s.stats().size(), 2u);
  EXPECT_EQ(s.stats()[0].first, SymbolTable::intern(first));
  EXPECT_EQ(s.stats()[1].first, SymbolTable::intern(second));
  EXPECT_EQ(s.stats()[1].second.times_applied, 2u) << "the two rules named alike share a record";
}

TEST(Runner, RunningTwiceIsAFault) {
  Runner runner;
  std::vector<Rewrite> rules;
  runner.run(rules);
  try {
    runner.run(rules);
    FAIL();
  } catch (const InternalFault& e) {
    EXPECT_STREQ(e.what(), "assertion failed: self.stop_reason.is_none()");
  }
}

}  // namespace
}  // namespace nodalis::egraph
