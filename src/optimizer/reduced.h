// Reduced: what one run of the reduction pipeline hands back, the reduced node
// list with its outputs and the six counts that make up the reduction report.
#pragma once

#include <cstdint>
#include <vector>

#include "ir/node_key.h"

namespace nodalis::opt {

struct ReductionReport {
  uint64_t input_nodes = 0;      // nodes given to the pipeline
  uint64_t reachable_nodes = 0;  // of those, reachable from the outputs
  uint64_t canonical_nodes = 0;  // engine nodes after canonicalize and cse
  uint64_t stages = 0;           // stage nodes emitted
  uint64_t reduced_nodes = 0;    // nodes emitted
  uint64_t boundary_nodes = 0;   // non-op nodes emitted
  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

struct Reduced {
  std::vector<ir::NodeKey> nodes;  // inputs of node i are below i
  std::vector<uint64_t> outputs;   // one per requested output, in request order
  uint64_t input_nodes = 0;
  uint64_t reachable_nodes = 0;
  uint64_t canonical_nodes = 0;
  uint64_t stages = 0;
  uint64_t reduced_nodes = 0;
  uint64_t boundary_nodes = 0;
  // No two nodes are equal, as the pipeline proves for what it emits
  // (FusedGraph::distinct); a list made any other way leaves it false and
  // is checked as it is interned.
  bool distinct = false;

  ReductionReport report() const {
    return {input_nodes, reachable_nodes, canonical_nodes, stages, reduced_nodes, boundary_nodes};
  }
};

}  // namespace nodalis::opt
