// Runner: equality saturation in iterations. Each iteration searches every
// rule on the same rebuilt e-graph, applies all matches, and rebuilds; the run
// ends at saturation or at the first iteration, size, time or hook limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "egraph/scheduler.h"

namespace nodalis::egraph {

struct StopReason {
  enum class Kind { Saturated, IterationLimit, NodeLimit, TimeLimit, Other };
  Kind kind = Kind::Saturated;
  uint64_t count = 0;    // IterationLimit: iterations recorded; NodeLimit: total size
  double seconds = 0;    // TimeLimit: elapsed seconds
  std::string message;   // Other: the hook's text

  static StopReason saturated() { return {}; }
  static StopReason iteration_limit(uint64_t n) { return {Kind::IterationLimit, n, 0, {}}; }
  static StopReason node_limit(uint64_t n) { return {Kind::NodeLimit, n, 0, {}}; }
  static StopReason time_limit(double s) { return {Kind::TimeLimit, 0, s, {}}; }
  static StopReason other(std::string text) { return {Kind::Other, 0, 0, std::move(text)}; }

  // "Saturated", "IterationLimit(12)", "Other(text)", ...
  std::string describe() const;
  friend bool operator==(const StopReason&, const StopReason&) = default;
};

struct Iteration {
  // Effective applications per rule name, in order of first application;
  // only rules with at least one.
  std::vector<std::pair<GlobalSymbol, uint64_t>> applied;
  uint64_t egraph_nodes = 0;    // total size at the start of the iteration
  uint64_t egraph_classes = 0;  // class count at the start of the iteration
  double hook_time = 0;
  double search_time = 0;
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;
  uint64_t rebuild_unions = 0;  // unions the closing rebuild performed
  std::optional<StopReason> stop_reason;
};

class Runner {
 public:
  // Success is nullopt; a text stops the run with StopReason::Other.
  using Hook = std::function<std::optional<std::string>(Runner&)>;

  static constexpr uint64_t kDefaultIterLimit = 30;
  static constexpr uint64_t kDefaultNodeLimit = 10000;
  static constexpr std::chrono::nanoseconds kDefaultTimeLimit = std::chrono::seconds(5);

  Runner() = default;

  Runner& set_iter_limit(uint64_t limit) {
    iter_limit_ = limit;
    return *this;
  }
  Runner& set_node_limit(uint64_t limit) {
    node_limit_ = limit;
    return *this;
  }
  Runner& set_time_limit(std::chrono::nanoseconds limit) {
    time_limit_ = limit;
    return *this;
  }
  // Replaces (and discards) the runner's e-graph.
  Runner& set_egraph(EGraph egraph) {
    egraph_ = std::move(egraph);
    return *this;
  }
  Runner& add_hook(Hook hook) {
    hooks_.push_back(std::move(hook));
    return *this;
  }

  // Runs the rules once; afterwards the runner is only read. The e-graph it
  // leaves is always clean and congruence-closed.
  Runner& run(std::span<const Rewrite> rules);

  EGraph& egraph() noexcept { return egraph_; }
  const EGraph& egraph() const noexcept { return egraph_; }
  const std::vector<Iteration>& iterations() const noexcept { return iterations_; }
  const std::optional<StopReason>& stop_reason() const noexcept { return stop_reason_; }
  // The duplicate-name warning of the rules last run, if two shared a name
  // (the library writes nothing to standard error; a caller may show it).
  const std::optional<std::string>& rule_warning() const noexcept { return rule_warning_; }
  uint64_t iter_limit() const noexcept { return iter_limit_; }
  uint64_t node_limit() const noexcept { return node_limit_; }
  std::chrono::nanoseconds time_limit() const noexcept { return time_limit_; }

 private:
  using Clock = std::chrono::steady_clock;

  // The limits as of `now`, a reading taken at the check.
  std::optional<StopReason> check_limits(Clock::time_point now) const;
  // The limits after one rule's search or application, reading the clock
  // only when the time limit may have passed.
  std::optional<StopReason> check_step_limits() const;
  // The node and iteration limits, which need no clock.
  std::optional<StopReason> count_limits() const;
  // One iteration, starting at `end` if it holds the reading that closed
  // the last one; `end` receives the reading that closes this one.
  // `matches` holds one list per rule, reused from iteration to iteration.
  Iteration run_one(std::span<const Rewrite> rules, std::optional<Clock::time_point>& end,
                    std::vector<std::vector<SearchMatches>>& matches);
  // Called when rule r has just applied every match of a passing search:
  // marks it settled if its kind settles and no other rule adds its shape.
  void settle(std::span<const Rewrite> rules, size_t r);

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  std::vector<Hook> hooks_;
  uint64_t iter_limit_ = kDefaultIterLimit;
  uint64_t node_limit_ = kDefaultNodeLimit;
  std::chrono::nanoseconds time_limit_ = kDefaultTimeLimit;
  std::optional<Clock::time_point> start_time_;
  std::optional<std::string> rule_warning_;
  BackoffScheduler scheduler_;
  // Rules, by position (the first 64), whose every match is known to change
  // nothing: they are decided by counting their matches, neither listed nor
  // applied. The last iteration of a run, which confirms that nothing is
  // left, otherwise lists and applies every match once more to no effect.
  // Hooks may change the e-graph in any way, so a run with hooks settles
  // nothing.
  uint64_t settled_ = 0;
  // Shape bits (Rewrite::shape_bit) the rules may add: those of exactly one
  // rule and those of several, gathered at the first settle of a run.
  uint64_t added_once_ = 0;
  uint64_t added_more_ = 0;
  bool added_known_ = false;
};

// The duplicate-name warning when two rules share a name ("WARNING:
// Duplicated rule names may affect rule reporting and scheduling.\n", then
// "Rule '<name>' appears <n> times\n" per shared name); nothing otherwise.
// A run goes on either way.
std::optional<std::string> check_rules(std::span<const Rewrite> rules);

}  // namespace nodalis::egraph
