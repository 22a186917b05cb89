// EClass: one equivalence class and its member nodes. After a rebuild `nodes`
// is sorted, free of duplicates, and refers only to root classes. The record
// of the nodes added with a class among their children (its parent entries)
// is kept by the e-graph beside the classes: searches and applications read
// classes by the hundred thousand and never those entries.
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

// Member nodes as the e-class holds them: two fit inline, since a class
// that a rule merged usually holds a node and its rewritten form.
using ClassNodes = SmallVec<SymbolLang, 2>;

// A class's parent entries; four fit inline.
using ParentList = SmallVec<ParentRef, 4>;

// 64 bytes, one cache line in the e-graph's blocks.
struct EClass {
  EClass() = default;
  // A class as an add creates it, holding one node.
  EClass(Id class_id, const SymbolLang& node) : id(class_id) { nodes.push_back(node); }

  Id id = 0;
  ClassNodes nodes;
};

}  // namespace nodalis::egraph
