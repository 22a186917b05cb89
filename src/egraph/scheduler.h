// Rule scheduling: the RewriteScheduler interface the runner asks before each
// search, and the BackoffScheduler, which bans a rule whose matches exceed its
// threshold and doubles both threshold and ban length with every ban.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "egraph/symbol_marks.h"

namespace nodalis::egraph {

class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;
  // Asked only when an iteration applied nothing; false keeps the run going.
  virtual bool can_stop(uint64_t iteration) = 0;
  virtual std::vector<SearchMatches> search_rewrite(uint64_t iteration, const EGraph& egraph,
                                                    const Rewrite& rewrite) = 0;
  // Number of effective applications.
  virtual uint64_t apply_rewrite(uint64_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                 const std::vector<SearchMatches>& matches) = 0;
};

struct RuleStats {
  uint64_t times_applied = 0;
  uint64_t banned_until = 0;
  uint64_t times_banned = 0;
  uint64_t match_limit = 0;
  uint64_t ban_length = 0;
};

class BackoffScheduler final : public RewriteScheduler {
 public:
  static constexpr uint64_t kDefaultMatchLimit = 1000;
  static constexpr uint64_t kDefaultBanLength = 5;

  BackoffScheduler& with_initial_match_limit(uint64_t limit) {
    default_match_limit_ = limit;
    return *this;
  }
  BackoffScheduler& with_ban_length(uint64_t length) {
    default_ban_length_ = length;
    return *this;
  }

  bool can_stop(uint64_t iteration) override;
  std::vector<SearchMatches> search_rewrite(uint64_t iteration, const EGraph& egraph, const Rewrite& rewrite) override;
  // The same decisions. Given the e-graph to write to (the runner's), a rule
  // that says its shape and was banned has the e-graph keep its count of
  // that shape, and is banned again unsearched while the count exceeds its
  // threshold.
  std::vector<SearchMatches> search_rewrite(uint64_t iteration, EGraph& egraph, const Rewrite& rewrite);
  // The same, written over `out` (empty for a banned rule), whose room the
  // search reuses. True when the search ran and passed (its matches, all of
  // them, are in `out`).
  bool search_rewrite_into(uint64_t iteration, EGraph& egraph, const Rewrite& rewrite,
                           std::vector<SearchMatches>& out);
  // For a rule whose matches would all change nothing, known to match
  // exactly the root classes' nodes of `shape`: the decision a search would
  // make, from the number of those nodes, without listing them. True, with
  // the statistics the search would leave, when the rule is banned or its
  // matches are within its threshold; false, changing nothing, when they
  // exceed it (a search then bans the rule).
  bool pass_unsearched(uint64_t iteration, const EGraph& egraph, const Rewrite& rewrite, const SymbolLang& shape);
  uint64_t apply_rewrite(uint64_t iteration, EGraph& egraph, const Rewrite& rewrite,
                         const std::vector<SearchMatches>& matches) override;

  // Per rule name, in order of first use. Two rules with one name share a record.
  const std::vector<std::pair<GlobalSymbol, RuleStats>>& stats() const noexcept { return stats_; }

 private:
  RuleStats& rule_stats(GlobalSymbol name);
  bool search(uint64_t iteration, const EGraph& egraph, EGraph* counting, const Rewrite& rewrite,
              std::vector<SearchMatches>& out);

  uint64_t default_match_limit_ = kDefaultMatchLimit;
  uint64_t default_ban_length_ = kDefaultBanLength;
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats_;
  // Where the next rule's record is looked for first: a runner asks for the
  // rules in the same order in every iteration.
  size_t next_stats_ = 0;
  // The names that have a record.
  SymbolMarks names_;
};

}  // namespace nodalis::egraph
