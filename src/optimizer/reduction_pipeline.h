// The reduction pipeline: from an IR node list and the outputs to keep, to the
// reduced node list. Dead-code elimination, one canonicalize call on the
// engine, CSE of what the engine left equal, and stage fusion, in that order.
// A pure function of its arguments: it changes nothing it is given and keeps
// nothing between calls.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ir/node_key.h"
#include "optimizer/engine_graph.h"
#include "optimizer/reduced.h"
#include "optimizer/rewrite_engine.h"
#include "optimizer/scratch_vector.h"
#include "optimizer/stage_fusion.h"
#include "optimizer/token_table.h"

namespace nodalis::opt {

// Preconditions (every caller establishes them): inputs of node j are below j,
// every output is below nodes.size().
Reduced reduce_nodes(std::span<const ir::NodeKey> nodes, std::span<const uint64_t> outputs,
                     const RewriteEngine& engine, FusionRule fusion);

// The nodes reachable from the outputs, renumbered densely in their order.
struct LiveNodes {
  // Half the width of an id: lowering reads it at random, for every input.
  ScratchRoom<uint32_t> remap;      // given id -> live position, all ones if dropped
  ScratchRoom<uint64_t> kept;       // live position -> given id
  ScratchVector<uint64_t> outputs;  // the outputs as live positions, same order
  // Inputs of the kept nodes in all: room for the lowered graph's children,
  // counted by the sweep that reads them anyway (0 lets that graph grow).
  size_t input_total = 0;
};
LiveNodes dead_code_elimination(std::span<const ir::NodeKey> nodes,
                                std::span<const uint64_t> outputs);

// One engine node per live node (its text from `tokens`, its renumbered inputs
// as children), entering every live node into `tokens` in order.
EngineGraph to_engine_graph(std::span<const ir::NodeKey> nodes, const LiveNodes& live,
                            TokenTable& tokens);

}  // namespace nodalis::opt
