// CSE: the pipeline's phase after the engine. The engine canonicalizes, but
// what it leaves equal (equal ops over equal children) is merged only here, so
// stage fusion sees every shared value once.
#pragma once

#include "optimizer/engine_graph.h"

namespace nodalis::opt {

// Merges nodes with equal op and equal (already merged) children into the
// first of them, keeping positions in order; outputs follow their nodes.
EngineGraph cse(const EngineGraph& canonical);

}  // namespace nodalis::opt
