// SaturationEngine: the canonicalizing rewrite engine. It loads an engine graph
// into an e-graph, runs the twelve rules (commutativity of eight parameterless
// binary operators, four identities) to saturation or a limit, and reads the
// classes back, each represented by its earliest input node.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/rewrite.h"
#include "egraph/runner.h"
#include "optimizer/rewrite_engine.h"

namespace nodalis::opt {

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr uint64_t kIterLimit = 12;

  // Parses and compiles the 24 pattern texts of the rule table.
  SaturationEngine();

  // The process's one engine, compiled on first use. Rules never change and an
  // engine is only read, so every reduction on every thread can share it.
  static const SaturationEngine& shared();

  EngineGraph canonicalize(const EngineGraph& graph) const override;

  // The run canonicalize reads back: `graph` loaded (node i into class
  // ids[i], which need not be a root) and saturated under this engine's
  // limits. Exposed so that benchmarks can show each iteration's record.
  egraph::Runner saturate(const EngineGraph& graph, std::vector<egraph::Id>& ids) const;

  const std::vector<egraph::Rewrite>& rules() const noexcept { return rules_; }
  uint64_t iter_limit() const noexcept { return iter_limit_; }

 private:
  // A rule's text: the symbol its patterns name, interned once, not per call.
  egraph::GlobalSymbol rule_symbol(std::string_view text) const;

  std::vector<egraph::Rewrite> rules_;
  std::vector<std::pair<std::string, egraph::GlobalSymbol>> rule_symbols_;
  uint64_t iter_limit_ = kIterLimit;
};

}  // namespace nodalis::opt
