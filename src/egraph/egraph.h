// EGraph: hash-consed e-nodes partitioned into e-classes, with congruence
// closure deferred to rebuild. It knows nothing of what its symbols mean; the
// runner searches it with patterns, adds rewritten terms, merges and rebuilds.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "egraph/block_list.h"
#include "egraph/eclass.h"
#include "egraph/id.h"
#include "egraph/memo_table.h"
#include "egraph/op_index.h"
#include "egraph/shape_counts.h"
#include "egraph/symbol_lang.h"
#include "egraph/union_find.h"

namespace nodalis::egraph {

class EGraph {
 public:
  EGraph() = default;
  ~EGraph() { release_owned(); }
  EGraph(const EGraph&) = default;
  EGraph& operator=(const EGraph&) = default;
  // A moved-from e-graph is empty and usable.
  EGraph(EGraph&& other) noexcept { swap(other); }
  EGraph& operator=(EGraph&& other) noexcept {
    if (this != &other) {
      EGraph taken(std::move(other));
      swap(taken);
    }
    return *this;
  }
  void swap(EGraph& other) noexcept;

  // Adds a node (children are canonicalized first) and returns the class it
  // is in, which need not be a root: callers apply find. An equal node already
  // present gives its class back and changes nothing.
  Id add_without_find(SymbolLang node);
  // add_without_find followed by find.
  Id add(SymbolLang node) { return uf_.find(add_without_find(std::move(node))); }
  // Adds n nodes to an e-graph that holds none: node_at(i) gives node i,
  // its children naming earlier nodes by position. When no two are equal,
  // node i becomes class i, as adding them one by one would make it, and the
  // result is true. Otherwise the e-graph is left empty and the result is
  // false: the caller adds them one by one, which finds the equal ones.
  // On a large load this is faster: the memo is written in hash order.
  template <class NodeAt>
  bool add_all_distinct(size_t n, NodeAt&& node_at);
  // The root class of a node equal to `node` after canonicalizing its children.
  std::optional<Id> lookup(SymbolLang node) const;
  // Root of `id`, without writing to the union-find.
  Id find(Id id) const;
  // True when the root class of `eclass` lists `node` with its children
  // replaced by their roots. Every listed node is in memo and names that
  // class, so adding `node` would then find it and a union with `eclass`
  // would change nothing. Long lists are not searched: false means "not
  // known", never "absent".
  bool lists_node(Id eclass, const SymbolLang& node) const;
  // Merges the classes of a and b; true when they were apart. Always leaves
  // the e-graph unclean, even when nothing was merged.
  bool merge(Id a, Id b);
  // Restores congruence and the canonical form of every class; returns the
  // number of unions it performed.
  uint64_t rebuild();

  // The class of root(id). An id that never had a class is an internal fault.
  const EClass& index(Id id) const;
  const EClass& operator[](Id id) const { return index(id); }
  // Asks for the union-find entry of the parent of `id` to be fetched: the
  // one find reads after id's own, often the root's (ids never issued are
  // ignored).
  void prefetch_find(Id id) const noexcept {
    if (id < uf_.size()) uf_.prefetch(uf_.parent(id));
  }
  // Asks for the class slot of `id` to be fetched (ids never issued are
  // ignored).
  void prefetch_class(Id id) const noexcept {
    if (id < classes_.size()) __builtin_prefetch(&classes_[id]);
  }
  // The nodes of `root`, which must be a root (as classes_with_op lists
  // them): what a search reads per candidate, without walking to the root.
  const ClassNodes& root_nodes(Id root) const {
    if (root >= uf_.size() || !uf_.is_root(root)) [[unlikely]] not_a_root(root);
    return classes_[root].nodes;
  }

  // Number of memo entries: every node added, plus the canonical form that a
  // rebuild enters beside each node whose children were merged (the stale
  // form stays). The runner's node limit bounds this, i.e. the memory the
  // e-graph holds, not the number of distinct canonical nodes.
  uint64_t memo_entries() const noexcept { return memo_.size(); }
  // Number of root classes.
  uint64_t class_count() const noexcept { return class_count_; }
  // Number of ids issued so far (roots and merged-away ids).
  uint64_t id_count() const noexcept { return uf_.size(); }
  bool clean() const noexcept { return clean_; }

  // Root classes holding at least one node of symbol `op`, ascending. Only
  // meaningful on a clean e-graph.
  OpIndex::Range classes_with_op(GlobalSymbol op) const noexcept { return by_op_.classes_with_op(op); }
  // Nodes of the root classes with symbol `op` and `arity` children: the
  // number of matches of a pattern that is one such node over distinct
  // variables. keep_shape_count counts them on a clean e-graph and has every
  // later rebuild keep the count; shape_count gives it as of the last
  // rebuild, for kept shapes only.
  uint64_t keep_shape_count(GlobalSymbol op, uint32_t arity);
  std::optional<uint64_t> shape_count(GlobalSymbol op, uint32_t arity) const noexcept {
    return shapes_.count(op, arity);
  }
  // Visits every root class in ascending id order.
  template <class F>
  void for_each_class(F&& visit) const {
    for (Id id = 0; id < uf_.size(); ++id) {
      if (uf_.is_root(id)) visit(classes_[id]);
    }
  }

  // The parent entries of root(id)'s class: one per child slot, naming id's
  // class or a class merged into it, of every node added so far.
  std::span<const ParentRef> parents(Id id) const;
  const SymbolLang& parent_node(ParentRef ref) const { return keys_[ref]; }
  Id parent_class(ParentRef ref) const { return key_class_[ref]; }

  // Room for n more nodes, so that a bulk load does not regrow the tables.
  void reserve(size_t n);

  // Takes over, in place, the room of the last e-graph this thread handed to
  // keep_room: an e-graph made and dropped per call otherwise allocates its
  // tables, lists and index afresh every time. Only for an e-graph that
  // nothing was added to (an internal fault otherwise).
  void take_kept_room();
  // Empties `egraph` and keeps its room for this thread's next
  // take_kept_room, unless it grew large (one e-graph is kept per thread).
  static void keep_room(EGraph&& egraph);

 private:
  static constexpr Id kNoClass = UINT32_MAX;
  // Up to this many classes an e-graph's tables stay in a core's caches, and
  // the passes over them fetch nothing ahead.
  static constexpr size_t kCachedClasses = size_t{1} << 14;

  [[noreturn, gnu::cold, gnu::noinline]] static void not_a_root(Id id);
  void flush_parents() const {
    if (parents_filed_ != keys_.size()) file_parents();
  }
  void file_parents() const;
  void canonicalize_mut(SymbolLang& node);
  // Asks for the union-find entries of the node's inline children; the
  // children of a wide node are on the heap, a miss of their own.
  void prefetch_children(const SymbolLang& node) const noexcept {
    if (node.arity() > SymbolLang::kInline) return;
    for (Id c : node.children()) uf_.prefetch(c);
  }
  void mark_stale(Id id) {
    if (stale_flag_.size() <= id) [[unlikely]] grow_stale_flags();
    if (!stale_flag_[id]) {
      stale_flag_[id] = 1;
      stale_.push_back(id);
    }
  }
  [[gnu::noinline]] void grow_stale_flags();
  // Records that the node list or parent list of class `id` may hold a heap
  // block (or a node with its children on the heap).
  void mark_owner(Id id) const {
    const size_t word = id >> 6;
    if (word >= owners_.size()) [[unlikely]] grow_owners(word);
    owners_[word] |= uint64_t{1} << (id & 63);
  }
  bool is_owner(Id id) const noexcept {
    const size_t word = id >> 6;
    return word < owners_.size() && (owners_[word] >> (id & 63) & 1) != 0;
  }
  [[gnu::noinline]] void grow_owners(size_t word) const;
  // Frees what the marked classes and the wide keys hold and empties the
  // lists without reading the rest: a large e-graph's classes and parent
  // lists are mostly inline, and walking them all only to find that took a
  // pass over all their memory.
  void release_owned() noexcept;
  // Forgets every node and class, keeping the room; holds no block after.
  void clear_keeping_room() noexcept;
  uint64_t process_unions();
  void rebuild_classes();

  UnionFind uf_;
  // Every memo key in insertion order; the memo holds indexes into it.
  BlockList<SymbolLang> keys_;
  // For keys created by add: the class they were added to (parent entries
  // and pending refer to these); kNoClass for keys a rebuild re-inserted.
  BlockList<Id> key_class_;
  MemoTable memo_;
  // Indexed by id; only roots hold nodes.
  BlockList<EClass> classes_;
  // Parent entries by id, beside the classes; only roots hold entries.
  // Mutable only for flush_parents.
  mutable BlockList<ParentList> parents_;
  // Keys from parents_filed_ on have not yet been appended to their
  // children's parent lists. Filing them in one pass before anything reads
  // or moves parent lists lets the misses of a bulk load overlap instead of
  // stalling every add. Caught up whenever the e-graph is clean, so
  // concurrent reads of a clean e-graph never write.
  mutable size_t parents_filed_ = 0;
  // False until the first effective union: until then every id is a root
  // and add can skip the union-find walk.
  bool merged_ = false;
  uint64_t class_count_ = 0;
  // Added nodes waiting to be re-inserted into memo in canonical form; last
  // in, first out. Only parents of merged-away classes are queued: a freshly
  // added node is canonical and already in memo, and if one of its children
  // is merged away later it is queued again as that child's parent, above
  // its own entry; re-inserting it from add could therefore never merge
  // anything, and is skipped.
  std::vector<ParentRef> pending_;
  // Classes created since the last rebuild are those of the keys from
  // fresh_key_ on that add made; each holds one canonical node unless it is
  // also listed as stale.
  size_t fresh_key_ = 0;
  // Classes whose node lists a rebuild must re-canonicalize: merged
  // survivors and the root classes of re-queued parents, each a root when
  // marked (once each, by flag).
  std::vector<Id> stale_;
  std::vector<uint8_t> stale_flag_;
  // One bit per id, set by mark_owner; every class whose lists hold a heap
  // block is marked (a mark may outlive the block). Mutable for
  // file_parents.
  mutable std::vector<uint64_t> owners_;
  // The number of keys whose children live on the heap.
  size_t wide_keys_ = 0;
  OpIndex by_op_;
  std::vector<uint64_t> fresh_ops_;
  // Kept by rebuild_classes: merges only move nodes between lists, so a
  // count changes by the nodes added since the last rebuild and the
  // duplicates its re-canonicalization drops.
  ShapeCounts shapes_;
  bool clean_ = false;
};

template <class NodeAt>
bool EGraph::add_all_distinct(size_t n, NodeAt&& node_at) {
  if (uf_.size() != 0) throw InternalFault("bulk add into an e-graph in use");
  if (n >= UINT32_MAX) return false;  // one by one, to the memo's own limit
  reserve(n);
  for (size_t i = 0; i < n; ++i) {
    SymbolLang node = node_at(i);
    for (Id c : node.children()) uf_.check(c);
    const Id id = uf_.make_set();
    if (node.arity() > SymbolLang::kInline) [[unlikely]] {
      mark_owner(id);
      ++wide_keys_;
    }
    classes_.emplace_back(id, node);
    parents_.emplace_back();
    keys_.push_back(std::move(node));
    key_class_.push_back(id);
  }
  if (!memo_.insert_all_distinct(keys_, 0, 0)) {
    *this = EGraph();
    return false;
  }
  class_count_ = n;
  clean_ = false;
  return true;
}

}  // namespace nodalis::egraph
