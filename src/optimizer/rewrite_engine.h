// RewriteEngine: what the reduction pipeline needs from a canonicalizer, and
// nothing more, so the pipeline can be tested with small exact engines and the
// e-graph stays an implementation detail of SaturationEngine.
#pragma once

#include "optimizer/engine_graph.h"

namespace nodalis::opt {

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  // A new graph with one node per class of nodes equal under the engine's
  // rules. The result must keep children before parents, give one output per
  // given output in the same order, flag as opaque exactly the nodes whose
  // text is not an op token, use for an opaque node the text of some given
  // node, and use op tokens for every other node. It may share `graph`'s texts.
  virtual EngineGraph canonicalize(const EngineGraph& graph) const = 0;
};

}  // namespace nodalis::opt
