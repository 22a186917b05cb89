// EClass: one equivalence class, its member nodes and the record of every node
// added with this class among its children. After a rebuild `nodes` is sorted,
// free of duplicates, and refers only to root classes.
#pragma once

#include <cstdint>
#include <vector>

#include "egraph/id.h"
#include "egraph/small_vec.h"
#include "egraph/symbol_lang.h"

namespace nodalis::egraph {

// A parent entry: the index of an added node in the e-graph's key list.
// EGraph::parent_node and EGraph::parent_class give the node as it was added
// and the class it was added to; every entry of one add names the same record.
using ParentRef = uint32_t;

// One node and four parent entries fit inline: 64 bytes for most classes.
struct EClass {
  Id id = 0;
  SmallVec<SymbolLang, 1> nodes;
  SmallVec<ParentRef, 4> parents;
};

}  // namespace nodalis::egraph
