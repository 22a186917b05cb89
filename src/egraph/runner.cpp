// The saturation loop and its limit checks. Limits are tested after every
// rule's search and after every rule's application, not only between
// iterations, and every iteration ends with a rebuild whatever stopped it.
// A phase's time is taken from one reading of the clock at each of its ends;
// the checks between a phase's rules read the clock only near the time
// limit: on a small graph the clock was a visible share of the run.
#include "egraph/runner.h"

#include <time.h>

#include <algorithm>
#include <type_traits>

#include "base/fault.h"
#include "egraph/symbol_marks.h"

namespace nodalis::egraph {
namespace {

// The per-rule match lists of the last run on this thread, emptied, kept
// for the next: a reduction of a small graph searched into a dozen fresh
// lists per iteration. Lists that grew large are let go.
constexpr size_t kKeptMatches = 4096;

std::vector<std::vector<SearchMatches>>& kept_matches() noexcept {
  static thread_local std::vector<std::vector<SearchMatches>> kept;
  return kept;
}

// Lends the thread's kept lists to one run and takes them back after it,
// emptied, however it ends.
class MatchLists {
 public:
  MatchLists() noexcept : lists_(std::move(kept_matches())) {}
  MatchLists(const MatchLists&) = delete;
  MatchLists& operator=(const MatchLists&) = delete;
  ~MatchLists() {
    size_t room = 0;
    for (std::vector<SearchMatches>& l : lists_) {
      l.clear();
      room += l.capacity();
    }
    if (room <= kKeptMatches) kept_matches() = std::move(lists_);
  }
  std::vector<std::vector<SearchMatches>>& lists() noexcept { return lists_; }

 private:
  std::vector<std::vector<SearchMatches>> lists_;
};

// The monotonic clock as of its last tick, at a fraction of the cost of a
// reading (a reduction of a hundred nodes took fifty). It runs behind the
// clock by at most a tick, a few milliseconds, so while it shows the time
// limit further off than kCoarseSlack the limit has not passed; nearer, the
// clock itself is read and decides as it always did.
constexpr std::chrono::nanoseconds kCoarseSlack = std::chrono::milliseconds(50);

std::chrono::steady_clock::time_point coarse_now() noexcept {
#ifdef CLOCK_MONOTONIC_COARSE
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0) {
    return std::chrono::steady_clock::time_point(std::chrono::seconds(ts.tv_sec) +
                                                 std::chrono::nanoseconds(ts.tv_nsec));
  }
#endif
  return std::chrono::steady_clock::now();
}

double seconds_between(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

std::string StopReason::describe() const {
  switch (kind) {
    case Kind::Saturated:
      return "Saturated";
    case Kind::IterationLimit:
      return "IterationLimit(" + std::to_string(count) + ")";
    case Kind::NodeLimit:
      return "NodeLimit(" + std::to_string(count) + ")";
    case Kind::TimeLimit:
      return "TimeLimit(" + std::to_string(seconds) + ")";
    case Kind::Other:
      return "Other(" + message + ")";
  }
  return "Unknown";
}

std::optional<std::string> check_rules(std::span<const Rewrite> rules) {
  // Every run asks, so the usual answer (no two names alike) allocates nothing
  // and, when no two names share a mark, compares no names.
  SymbolMarks marks;
  bool shared = false;
  for (const Rewrite& r : rules) shared |= marks.mark(r.name());
  if (!shared) return std::nullopt;
  bool any = false;
  for (size_t i = 1; i < rules.size() && !any; ++i)
    for (size_t j = 0; j < i && !any; ++j) any = rules[i].name() == rules[j].name();
  if (!any) return std::nullopt;
  std::vector<std::pair<GlobalSymbol, uint64_t>> counts;
  for (const Rewrite& r : rules) {
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r.name(); });
    if (it == counts.end()) {
      counts.emplace_back(r.name(), 1);
    } else {
      ++it->second;
    }
  }
  bool duplicated = std::any_of(counts.begin(), counts.end(), [](const auto& c) { return c.second > 1; });
  if (!duplicated) return std::nullopt;
  std::string text = "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
  for (const auto& [name, n] : counts) {
    if (n > 1) text += "Rule '" + SymbolTable::display(name) + "' appears " + std::to_string(n) + " times\n";
  }
  return text;
}

std::optional<StopReason> Runner::check_limits(Clock::time_point now) const {
  if (start_time_) {
    auto elapsed = now - *start_time_;
    if (elapsed > time_limit_) {
      auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
      auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs);
      return StopReason::time_limit(static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9);
    }
  }
  return count_limits();
}

std::optional<StopReason> Runner::count_limits() const {
  if (egraph_.memo_entries() > node_limit_) return StopReason::node_limit(egraph_.memo_entries());
  if (iterations_.size() >= iter_limit_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

std::optional<StopReason> Runner::check_step_limits() const {
  static_assert(std::is_same_v<Clock, std::chrono::steady_clock>, "the coarse clock shares the steady clock's epoch");
  if (!start_time_ || coarse_now() - *start_time_ + kCoarseSlack > time_limit_) return check_limits(Clock::now());
  return count_limits();
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  rule_warning_ = check_rules(rules);
  egraph_.rebuild();
  MatchLists matches;
  std::optional<Clock::time_point> end;  // the reading that closed the last iteration
  for (;;) {
    if (stop_reason_) throw InternalFault("assertion failed: self.stop_reason.is_none()");
    Iteration it = run_one(rules, end, matches.lists());
    std::optional<StopReason> reason = it.stop_reason;
    iterations_.push_back(std::move(it));
    if (!reason) reason = check_limits(*end);
    if (reason) {
      stop_reason_ = std::move(reason);
      break;
    }
  }
  if (iterations_.empty()) throw InternalFault("assertion failed: !self.iterations.is_empty()");
  if (!stop_reason_) throw InternalFault("assertion failed: self.stop_reason.is_some()");
  return *this;
}

void Runner::settle(std::span<const Rewrite> rules, size_t r) {
  const std::optional<SymbolLang>& shape = rules[r].settling_shape();
  if (!shape || !hooks_.empty()) return;
  if (!added_known_) {
    for (const Rewrite& q : rules) {
      added_more_ |= added_once_ & q.added_bits();
      added_once_ |= q.added_bits();
    }
    added_known_ = true;
  }
  // Most shapes are added by no rule or by this one alone, which the bits
  // tell; a bit that others may share sends the question to the rules.
  const uint64_t bit = Rewrite::shape_bit(*shape);
  const bool unshared = (added_more_ & bit) == 0 && ((added_once_ & bit) == 0 || (rules[r].added_bits() & bit) != 0);
  if (!unshared) {
    for (size_t q = 0; q < rules.size(); ++q) {
      if (q != r && rules[q].may_add(*shape)) return;
    }
  }
  settled_ |= uint64_t{1} << r;
}

Iteration Runner::run_one(std::span<const Rewrite> rules, std::optional<Clock::time_point>& end,
                          std::vector<std::vector<SearchMatches>>& matches) {
  uint64_t i = iterations_.size();
  if (!start_time_) start_time_ = Clock::now();
  // Only the last iteration's record lies between its closing reading and
  // this one's start.
  const Clock::time_point iteration_start = end ? *end : Clock::now();
  Iteration it;

  std::optional<StopReason> result = check_limits(iteration_start);
  it.egraph_nodes = egraph_.memo_entries();
  it.egraph_classes = egraph_.class_count();

  // Without hooks there is nothing to time, and the search starts where
  // the check left off.
  Clock::time_point hook_end = iteration_start;
  if (!result && !hooks_.empty()) {
    // Hooks run detached, so a hook can use the runner freely; they are put
    // back even if one throws.
    std::vector<Hook> hooks = std::move(hooks_);
    hooks_.clear();
    struct Restore {
      std::vector<Hook>& from;
      std::vector<Hook>& to;
      ~Restore() {
        from.insert(from.end(), std::make_move_iterator(to.begin()), std::make_move_iterator(to.end()));
        to = std::move(from);
      }
    } restore{hooks, hooks_};
    for (Hook& hook : hooks) {
      if (auto failure = hook(*this)) {
        result = StopReason::other(std::move(*failure));
        break;
      }
    }
  }
  if (!hooks_.empty()) hook_end = Clock::now();
  it.hook_time = seconds_between(iteration_start, hook_end);
  uint64_t nodes_after_hooks = egraph_.memo_entries();
  uint64_t classes_after_hooks = egraph_.class_count();

  const Clock::time_point search_start = hook_end;
  Clock::time_point last = search_start;  // the reading that ended the last phase
  // Rules whose search passed, and settled rules decided without one.
  uint64_t passed = 0;
  uint64_t unsearched = 0;
  if (!hooks_.empty()) settled_ = 0;
  if (!result) {
    if (matches.size() < rules.size()) matches.resize(rules.size());
    for (size_t r = 0; r < rules.size(); ++r) {
      const uint64_t bit = r < 64 ? uint64_t{1} << r : 0;
      if ((settled_ & bit) != 0 && scheduler_.pass_unsearched(i, egraph_, rules[r], *rules[r].settling_shape())) {
        unsearched |= bit;
      } else if (scheduler_.search_rewrite_into(i, egraph_, rules[r], matches[r])) {
        passed |= bit;
      }
      result = check_step_limits();
      if (result) break;
    }
    last = Clock::now();
  }
  it.search_time = seconds_between(search_start, last);

  const Clock::time_point apply_start = last;
  if (!result) {
    for (size_t r = 0; r < rules.size(); ++r) {
      const uint64_t bit = r < 64 ? uint64_t{1} << r : 0;
      uint64_t n = 0;
      // A rule with nothing to apply changes nothing that a check reads, so
      // the last check's answer stands, but for the few nanoseconds since.
      const bool idle = (unsearched & bit) != 0 || matches[r].empty();
      if ((unsearched & bit) == 0) {
        n = scheduler_.apply_rewrite(i, egraph_, rules[r], matches[r]);
        if ((passed & bit) != 0 && (settled_ & bit) == 0) settle(rules, r);
      }
      if (n > 0) {
        GlobalSymbol name = rules[r].name();
        auto found = std::find_if(it.applied.begin(), it.applied.end(), [&](const auto& a) { return a.first == name; });
        if (found == it.applied.end()) {
          it.applied.emplace_back(name, n);
        } else {
          found->second += n;
        }
      }
      if (idle) continue;
      result = check_step_limits();
      if (result) break;
    }
    last = Clock::now();
  }
  it.apply_time = seconds_between(apply_start, last);

  const Clock::time_point rebuild_start = last;
  it.rebuild_unions = egraph_.rebuild();
  end = Clock::now();
  it.rebuild_time = seconds_between(rebuild_start, *end);

  if (it.applied.empty() && scheduler_.can_stop(i)) {
    bool unchanged = it.egraph_nodes == nodes_after_hooks && nodes_after_hooks == egraph_.memo_entries() &&
                     it.egraph_classes == classes_after_hooks && classes_after_hooks == egraph_.class_count();
    if (unchanged && !result) result = StopReason::saturated();
  }
  it.total_time = seconds_between(iteration_start, *end);
  it.stop_reason = std::move(result);
  return it;
}

}  // namespace nodalis::egraph
