// CSE: the pipeline's phase after the engine. The engine canonicalizes, but
// what it leaves equal (equal ops over equal children) is merged only here, so
// stage fusion sees every shared value once.
#pragma once

#include <cstddef>

#include "optimizer/engine_graph.h"

namespace nodalis::opt {

// Merges nodes with equal op and equal (already merged) children into the
// first of them, keeping positions in order; outputs follow their nodes.
EngineGraph cse(const EngineGraph& canonical);
// The same; a graph with no two equal nodes is handed back as it is.
EngineGraph cse(EngineGraph&& canonical);

// From this many nodes on, the table outgrows the caches and each node's
// slot is hashed and fetched a few nodes ahead of its turn.
inline constexpr size_t kCseLookAheadFrom = size_t{1} << 15;

}  // namespace nodalis::opt
