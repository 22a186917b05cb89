// The backoff scheduler's arithmetic, driven directly: thresholds and bans
// double with every ban, a banned rule is not searched, and can_stop
// fast-forwards bans to the earliest one.
#include "egraph/scheduler.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <tuple>

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

// The same pattern behind a searcher that does not say its shape, so the
// scheduler has to search it to learn its number of matches.
class Unshaped final : public Searcher {
 public:
  explicit Unshaped(const Searcher& inner) : inner_(inner) {}
  std::optional<SearchMatches> search_eclass_with_limit(const EGraph& g, Id c, uint64_t limit) const override {
    return inner_.search_eclass_with_limit(g, c, limit);
  }
  std::vector<SearchMatches> search_with_limit(const EGraph& g, uint64_t limit) const override {
    return inner_.search_with_limit(g, limit);
  }
  std::vector<Var> vars() const override { return inner_.vars(); }

 private:
  const Searcher& inner_;
};

// Bans decided from the e-graph's count of a rule's shape must be the bans
// a search would have decided, threshold by threshold, at every size.
TEST(BackoffScheduler, BansFromShapeCountsMatchBansFromSearches) {
  std::vector<Rewrite> counted, searched;
  for (auto [name, lhs, rhs] : {std::tuple{"comm", "(f ?a ?b)", "(f ?b ?a)"}, {"unit", "(u ?x)", "?x"},
                                {"grow", "(g ?x)", "(f ?x ?x)"}}) {
    counted.push_back(rule(name, lhs, rhs));
    ASSERT_TRUE(counted.back().searcher().counted_shape().has_value()) << name;
    searched.push_back(Rewrite::make(name, std::make_shared<Unshaped>(counted.back().searcher()),
                                     std::shared_ptr<const Applier>(&counted.back().applier(), [](const Applier*) {}))
                           .value());
  }
  EGraph base;
  std::mt19937 rng(3);
  std::vector<Id> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(base.add({SymbolTable::intern("leaf" + std::to_string(i)), {}}));
  const char* ops[] = {"f", "u", "g"};
  for (int k = 0; k < 300; ++k) {
    const GlobalSymbol op = SymbolTable::intern(ops[rng() % 3]);
    Id kids[2] = {ids[rng() % ids.size()], ids[rng() % ids.size()]};
    ids.push_back(base.add({op, std::span<const Id>(kids, op == SymbolTable::intern("f") ? 2 : 1)}));
  }
  base.rebuild();
  for (uint64_t limit : {3u, 7u, 20u, 64u}) {
    EGraph a = base, b = base;
    BackoffScheduler sa, sb;
    sa.with_initial_match_limit(limit).with_ban_length(2);
    sb.with_initial_match_limit(limit).with_ban_length(2);
    for (uint64_t i = 0; i < 14; ++i) {
      // As the runner does: every rule searches before any applies.
      std::vector<std::vector<SearchMatches>> ma, mb;
      for (size_t r = 0; r < counted.size(); ++r) {
        ma.push_back(sa.search_rewrite(i, a, counted[r]));
        mb.push_back(sb.search_rewrite(i, b, searched[r]));
        ASSERT_EQ(total(ma[r]), total(mb[r])) << "limit " << limit << " iteration " << i << " rule " << r;
      }
      uint64_t applied = 0;
      for (size_t r = 0; r < counted.size(); ++r) {
        const uint64_t na = sa.apply_rewrite(i, a, counted[r], ma[r]);
        ASSERT_EQ(na, sb.apply_rewrite(i, b, searched[r], mb[r]));
        applied += na;
      }
      a.rebuild();
      b.rebuild();
      ASSERT_EQ(a.memo_entries(), b.memo_entries());
      if (applied == 0 && sa.can_stop(i) != sb.can_stop(i)) FAIL() << "can_stop parted at " << i;
      ASSERT_EQ(sa.stats().size(), sb.stats().size());
      for (size_t k = 0; k < sa.stats().size(); ++k) {
        const RuleStats &x = sa.stats()[k].second, &y = sb.stats()[k].second;
        ASSERT_EQ(std::tie(x.times_applied, x.times_banned, x.banned_until),
                  std::tie(y.times_applied, y.times_banned, y.banned_until))
            << "limit " << limit << " iteration " << i << " rule " << k;
      }
    }
  }
}

TEST(BackoffScheduler, ABannedRuleIsCountedAndPassesAtExactlyItsThreshold) {
  EGraph g;
  wrapped_leaves(g, "w", 20);
  g.rebuild();
  Rewrite r = rule("w-unit", "(w ?x)", "?x");
  const GlobalSymbol w = SymbolTable::intern("w");
  BackoffScheduler s;
  s.with_initial_match_limit(10);
  EXPECT_TRUE(s.search_rewrite(0, g, r).empty());
  EXPECT_EQ(g.shape_count(w, 1), std::optional<uint64_t>(20)) << "kept from the first ban on";
  EXPECT_FALSE(s.can_stop(0));
  EXPECT_EQ(total(s.search_rewrite(1, g, r)), 20u) << "20 matches do not exceed a threshold of 20";
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
