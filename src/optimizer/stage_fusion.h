// Stage fusion: the last phase of the pipeline. Partitions the op nodes of the
// canonical graph into groups that can run as one fused stage and emits the
// final IR list: one stage node per group, one copy of every other node.
// Which ops share a group is the policy (single-use or fan-out rule); building
// the stage from a group is the mechanism, and the two are kept apart.
#pragma once

#include <cstdint>
#include <vector>

#include "ir/node_key.h"
#include "optimizer/engine_graph.h"
#include "optimizer/scratch_vector.h"
#include "optimizer/token_table.h"

namespace nodalis::opt {

// Which ops may join a group (maximal_fusion at the Python boundary chooses
// FanOut).
enum class FusionRule : uint8_t {
  // An op joins its consumer when it is not an output and has exactly one
  // use, by an op.
  SingleUse,
  // An op joins its consumers when it is not an output and all its uses are
  // ops in one group.
  FanOut,
};

struct FusedGraph {
  std::vector<ir::NodeKey> nodes;  // in emission order; inputs below each node
  std::vector<uint64_t> outputs;   // one per graph output, same order
  uint64_t stages = 0;
  uint64_t boundary_nodes = 0;
  // No two of `nodes` are equal, known without comparing them; when this is
  // so is argued in stage_fusion.cpp (emits_distinct).
  bool distinct = false;
};

// Group label of every node under `rule`: nodes with equal labels form one
// group, only op nodes ever share one, and a label is its group's largest
// member (the sink, where the group is emitted).
ScratchVector<EnginePos> fusion_labels(const EngineGraph& graph, FusionRule rule);

FusedGraph stage_fusion(const EngineGraph& graph, const TokenTable& tokens, FusionRule rule);

}  // namespace nodalis::opt
