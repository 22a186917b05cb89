// The backoff scheduler's arithmetic, driven directly: thresholds and bans
// double with every ban, a banned rule is not searched, and can_stop
// fast-forwards bans to the earliest one.
#include "egraph/scheduler.h"

#include <gtest/gtest.h>

#include "base/fault.h"
#include "egraph/rule_fixtures.h"

namespace nodalis::egraph {
namespace {

using testing_rules::rule;
using testing_rules::wrapped_leaves;

uint64_t total(const std::vector<SearchMatches>& ms) {
  uint64_t n = 0;
  for (const auto& m : ms) n += m.substs.size();
  return n;
}

TEST(BackoffScheduler, FifteenHundredMatchesAreBannedThenAppliedUnderTwoThousand) {
  EGraph g;
  wrapped_leaves(g, "id0", 1500);
  g.rebuild();
  Rewrite r = rule("identity", "(id0 ?x)", "?x");
  BackoffScheduler s;
  EXPECT_TRUE(s.search_rewrite(0, g, r).empty());
  ASSERT_EQ(s.stats().size(), 1u);
  RuleStats st = s.stats()[0].second;
  EXPECT_EQ(st.times_banned, 1u);
  EXPECT_EQ(st.banned_until, 5u);
  EXPECT_EQ(st.times_applied, 0u);
  EXPECT_EQ(st.match_limit, 1000u);
  EXPECT_EQ(st.ban_length, 5u);

  EXPECT_FALSE(s.can_stop(0));
  EXPECT_EQ(s.stats()[0].second.banned_until, 0u) << "fast-forwarded to the current iteration";

  auto ms = s.search_rewrite(1, g, r);
  EXPECT_EQ(total(ms), 1500u);
  EXPECT_EQ(s.stats()[0].second.times_applied, 1u);
  EXPECT_EQ(s.apply_rewrite(1, g, r, ms), 1500u);
  EXPECT_TRUE(s.can_stop(1));
}

TEST(BackoffScheduler, ThresholdsAndBansDoubleWithEveryBan) {
  EGraph g;
  wrapped_leaves(g, "many", 100);
  g.rebuild();
  Rewrite r = rule("explode", "(many ?x)", "(many (many ?x))");
  BackoffScheduler s;
  s.with_initial_match_limit(10).with_ban_length(5);
  // 100 matches exceed 10, 20, 40 and 80; the fifth search (threshold 160) passes.
  const uint64_t bans[] = {5, 10, 20, 40};
  uint64_t i = 0;
  for (uint64_t ban : bans) {
    EXPECT_TRUE(s.search_rewrite(i, g, r).empty()) << i;
    const RuleStats& st = s.stats()[0].second;
    EXPECT_EQ(st.banned_until, i + ban);
    // While banned it is skipped without a search.
    EXPECT_TRUE(s.search_rewrite(i + 1, g, r).empty());
    EXPECT_EQ(s.stats()[0].second.banned_until, i + ban) << "a skipped search must not ban again";
    EXPECT_FALSE(s.can_stop(i));
    EXPECT_EQ(s.stats()[0].second.banned_until, i);
    ++i;
  }
  EXPECT_EQ(s.stats()[0].second.times_banned, 4u);
  EXPECT_EQ(total(s.search_rewrite(i, g, r)), 100u);
}

TEST(BackoffScheduler, CanStopUnbansOnlyTheEarliestBannedRules) {
  EGraph g;
  wrapped_leaves(g, "p", 30);
  wrapped_leaves(g, "q", 30);
  g.rebuild();
  Rewrite rp = rule("rp", "(p ?x)", "?x");
  Rewrite rq = rule("rq", "(q ?x)", "?x");
  BackoffScheduler s;
  s.with_initial_match_limit(10).with_ban_length(3);
  EXPECT_TRUE(s.search_rewrite(0, g, rp).empty());  // banned until 3
  EXPECT_TRUE(s.search_rewrite(1, g, rq).empty());  // banned until 4
  EXPECT_FALSE(s.can_stop(1));
  EXPECT_EQ(s.stats()[0].second.banned_until, 1u);
  EXPECT_EQ(s.stats()[1].second.banned_until, 2u);
}

TEST(BackoffScheduler, RulesSharingANameShareOneRecord) {
  EGraph g;
  wrapped_leaves(g, "a", 3);
  wrapped_leaves(g, "b", 3);
  g.rebuild();
  BackoffScheduler s;
  (void)s.search_rewrite(0, g, rule("same", "(a ?x)", "?x"));
  (void)s.search_rewrite(0, g, rule("same", "(b ?x)", "?x"));
  ASSERT_EQ(s.stats().size(), 1u);
  EXPECT_EQ(s.stats()[0].second.times_applied, 2u);
}

TEST(BackoffScheduler, AShiftOfSixtyFourIsAFault) {
  EGraph g;
  wrapped_leaves(g, "z", 2);
  g.rebuild();
  Rewrite r = rule("zero", "(z ?x)", "?x");
  BackoffScheduler s;
  s.with_initial_match_limit(0).with_ban_length(0);
  // A zero threshold bans on every match and a zero ban never blocks, so each
  // search bans once more until the shift runs out.
  for (uint64_t i = 0; i < 64; ++i) ASSERT_TRUE(s.search_rewrite(i, g, r).empty());
  EXPECT_EQ(s.stats()[0].second.times_banned, 64u);
  EXPECT_THROW((void)s.search_rewrite(64, g, r), InternalFault);
}

}  // namespace
}  // namespace nodalis::egraph
