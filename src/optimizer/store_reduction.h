// Store reductions: the bridge between a GraphStore and the pipeline. They live
// with the optimizer, not the store, so the IR layer never depends on it. The
// store that is reduced is only read (its nodes taken under its lock) and never
// changed; the result is a new store that shares nothing with it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/result.h"
#include "ir/bad_node_id.h"
#include "ir/graph_store.h"
#include "optimizer/reduced.h"
#include "optimizer/rewrite_engine.h"
#include "optimizer/stage_fusion.h"

namespace nodalis::opt {

struct StoreReduction {
  std::unique_ptr<ir::GraphStore> store;
  ReductionReport report;
  // The id in `store` of each requested output, in request order, repeats
  // kept. The store's marks cannot say this: equal outputs share one mark.
  std::vector<ir::NodeId> outputs;
};

// Interns the reduced nodes in order into `fresh` (an empty store no other
// thread can see yet) and marks the outputs; returns the id in `fresh` of each
// of the reduced outputs, in their order. A broken pipeline invariant is an
// internal fault ("reduced graph references only earlier nodes", "reduced
// output is valid").
// The store takes the reduced keys over (`reduced.nodes` is left empty handles),
// and the result may take `reduced.outputs` over.
std::vector<ir::NodeId> from_reduced_into(Reduced& reduced, ir::GraphStore& fresh);
StoreReduction from_reduced(Reduced reduced);

// The store's nodes reduced as a node list, against `outputs` (order and
// repeats kept, marks ignored; the first id not below the node count is
// refused before any work) or, without them, the store's marked outputs.
Result<Reduced, ir::BadNodeId> reduce_store_nodes(const ir::GraphStore& store,
                                                  std::optional<std::span<const uint64_t>> outputs,
                                                  const RewriteEngine& engine, FusionRule fusion);

// The same, interned into a new store.
Result<StoreReduction, ir::BadNodeId> reduce_to_new_store(const ir::GraphStore& store,
                                                          std::optional<std::span<const uint64_t>> outputs,
                                                          const RewriteEngine& engine, FusionRule fusion);

}  // namespace nodalis::opt
