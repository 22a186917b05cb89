// EClass: one equivalence class, its member nodes and the record of every node
// added with this class among its children. After a rebuild `nodes` is sorted,
// free of duplicates, and refers only to root classes.
#pragma once

#include <cstdint>
#include <vector>

#include "egraph/id.h"
#include "egraph/symbol_lang.h"

namespace nodalis::egraph {

// A parent entry: the index of an added node in the e-graph's key list.
// EGraph::parent_node and EGraph::parent_class give the node as it was added
// and the class it was added to; every entry of one add names the same record.
using ParentRef = uint32_t;

struct EClass {
  Id id = 0;
  std::vector<SymbolLang> nodes;
  std::vector<ParentRef> parents;
};

}  // namespace nodalis::egraph
