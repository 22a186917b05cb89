// The backoff arithmetic. A search is bounded by threshold + 1 so that an
// exploding rule costs at most that many substitutions before it is banned;
// its matches are then dropped whole, which keeps the outcome independent of
// the order in which classes were visited.
#include "egraph/scheduler.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "base/fault.h"

namespace nodalis::egraph {
namespace {

uint64_t shift_left(uint64_t value, uint64_t by) {
  if (by >= 64) throw InternalFault("attempt to shift left with overflow");
  return value << by;  // overflow of the shifted value is left unguarded
}

}  // namespace

RuleStats& BackoffScheduler::rule_stats(GlobalSymbol name) {
  if (next_stats_ < stats_.size() && stats_[next_stats_].first == name) return stats_[next_stats_++].second;
  // A name never marked has no record: the first iteration makes a record
  // per rule without comparing it with all the earlier ones.
  if (names_.marked(name)) {
    for (size_t k = 0; k < stats_.size(); ++k) {
      if (stats_[k].first == name) {
        next_stats_ = k + 1;
        return stats_[k].second;
      }
    }
  }
  names_.mark(name);
  next_stats_ = stats_.size() + 1;
  if (stats_.empty()) stats_.reserve(16);  // one record per rule: spares the regrowths
  RuleStats fresh;
  fresh.match_limit = default_match_limit_;
  fresh.ban_length = default_ban_length_;
  stats_.emplace_back(name, fresh);
  return stats_.back().second;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(uint64_t iteration, const EGraph& egraph,
                                                            const Rewrite& rewrite) {
  std::vector<SearchMatches> out;
  search(iteration, egraph, nullptr, rewrite, out);
  return out;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(uint64_t iteration, EGraph& egraph, const Rewrite& rewrite) {
  std::vector<SearchMatches> out;
  search(iteration, egraph, &egraph, rewrite, out);
  return out;
}

bool BackoffScheduler::search_rewrite_into(uint64_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                           std::vector<SearchMatches>& out) {
  return search(iteration, egraph, &egraph, rewrite, out);
}

bool BackoffScheduler::pass_unsearched(uint64_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                                       const SymbolLang& shape) {
  RuleStats& s = rule_stats(rewrite.name());
  if (iteration < s.banned_until) return true;
  const uint64_t threshold = shift_left(s.match_limit, s.times_banned);
  // A kept count is the walk's count, as of a rebuild that left nothing
  // to do: over the threshold it bans before any search does, and under it
  // spares a walk over every class of the symbol.
  if (s.times_banned > 0 && egraph.clean()) {
    if (std::optional<uint64_t> kept = egraph.shape_count(shape.op(), shape.arity())) {
      if (*kept > threshold) return false;
      s.times_applied += 1;
      return true;
    }
  }
  uint64_t count = 0;
  for (Id c : egraph.classes_with_op(shape.op())) {
    for (const SymbolLang& n : egraph.root_nodes(c)) count += n.matches(shape);
    if (count > threshold) return false;
  }
  s.times_applied += 1;
  return true;
}

bool BackoffScheduler::search(uint64_t iteration, const EGraph& egraph, EGraph* counting, const Rewrite& rewrite,
                              std::vector<SearchMatches>& out) {
  out.clear();
  RuleStats& s = rule_stats(rewrite.name());
  if (iteration < s.banned_until) return false;
  uint64_t threshold = shift_left(s.match_limit, s.times_banned);
  auto ban = [&] {
    uint64_t length = shift_left(s.ban_length, s.times_banned);
    s.times_banned += 1;
    s.banned_until = iteration + length;
  };
  // A search that the limit cuts off is thrown away, so once the e-graph
  // counts a rule's matches the count decides. On large graphs most searches
  // are such cut-off ones, repeated while the threshold doubles; a rule is
  // counted from its first ban on, so a graph whose rules fit pays nothing.
  std::optional<SymbolLang> shape;
  if (counting != nullptr && s.times_banned > 0 && egraph.clean()) shape = rewrite.searcher().counted_shape();
  if (shape) {
    std::optional<uint64_t> count = egraph.shape_count(shape->op(), shape->arity());
    if (count && *count > threshold) {
      ban();
      return false;
    }
  }
  uint64_t limit = threshold == std::numeric_limits<uint64_t>::max() ? threshold : threshold + 1;
  rewrite.searcher().search_with_limit_into(egraph, limit, out);
  uint64_t total = 0;
  for (const SearchMatches& m : out) total += m.substs.size();
  if (total > threshold) {
    if (counting != nullptr) {
      if (std::optional<SymbolLang> mine = rewrite.searcher().counted_shape()) {
        counting->keep_shape_count(mine->op(), mine->arity());
      }
    }
    ban();
    out.clear();
    return false;
  }
  s.times_applied += 1;
  return true;
}

uint64_t BackoffScheduler::apply_rewrite(uint64_t /*iteration*/, EGraph& egraph, const Rewrite& rewrite,
                                         const std::vector<SearchMatches>& matches) {
  return rewrite.apply_count(egraph, matches);
}

bool BackoffScheduler::can_stop(uint64_t iteration) {
  std::vector<RuleStats*> banned;
  for (auto& [name, s] : stats_) {
    if (s.banned_until > iteration) banned.push_back(&s);
  }
  if (banned.empty()) return true;
  uint64_t min_ban = UINT64_MAX;
  for (RuleStats* s : banned) min_ban = std::min(min_ban, s->banned_until);
  if (min_ban < iteration) throw InternalFault("assertion failed: min_ban >= iteration");
  // Fast-forward: the earliest-banned rules become available next iteration.
  uint64_t delta = min_ban - iteration;
  bool unbanned = false;
  for (RuleStats* s : banned) {
    s->banned_until -= delta;
    unbanned = unbanned || s->banned_until == iteration;
  }
  if (!unbanned) throw InternalFault("assertion failed: !unbanned.is_empty()");
  return false;
}

}  // namespace nodalis::egraph
