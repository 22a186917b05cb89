// DOT: the Graphviz text of one state of a store, from its nodes and marks
// (a snapshot's, or the store's own under its lock through GraphStore::read,
// which spares copying every key).
#pragma once

#include <string>

#include "ir/graph_store.h"

namespace nodalis::ir {

// "digraph nodalis {" then one labelled line per node (marked outputs drawn
// as double circles), then one edge line per input reference, then "}".
std::string to_dot(const StoreView& store);

}  // namespace nodalis::ir
