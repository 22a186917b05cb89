// DOT: the Graphviz text of a store, rendered from a snapshot so that the
// store's lock is held only while the snapshot is taken.
#pragma once

#include <string>

#include "ir/graph_store.h"

namespace nodalis::ir {

// "digraph nodalis {" then one labelled line per node (marked outputs drawn
// as double circles), then one edge line per input reference, then "}".
std::string to_dot(const StoreSnapshot& snapshot);

}  // namespace nodalis::ir
