// Adding, merging and rebuilding. Congruence closure is deferred: a union only
// queues the loser's parents, and rebuild re-inserts them in canonical form,
// merging whatever collides, until nothing is pending.
#include "egraph/egraph.h"

#include <algorithm>
#include <string>

#include "base/fault.h"

namespace nodalis::egraph {

static_assert(sizeof(EClass) == 64, "a class is meant to fill one cache line");

void EGraph::canonicalize_mut(SymbolLang& node) {
  for (Id& c : node.children()) c = uf_.find_mut(c);
}

void EGraph::swap(EGraph& other) noexcept {
  using std::swap;
  swap(uf_, other.uf_);
  swap(keys_, other.keys_);
  swap(key_class_, other.key_class_);
  swap(memo_, other.memo_);
  swap(classes_, other.classes_);
  swap(parents_, other.parents_);
  swap(parents_filed_, other.parents_filed_);
  swap(merged_, other.merged_);
  swap(class_count_, other.class_count_);
  swap(pending_, other.pending_);
  swap(fresh_key_, other.fresh_key_);
  swap(stale_, other.stale_);
  swap(stale_flag_, other.stale_flag_);
  swap(owners_, other.owners_);
  swap(wide_keys_, other.wide_keys_);
  swap(by_op_, other.by_op_);
  swap(fresh_ops_, other.fresh_ops_);
  swap(shapes_, other.shapes_);
  swap(clean_, other.clean_);
}

Id EGraph::find(Id id) const {
  uf_.check(id);
  return uf_.find(id);
}

void EGraph::grow_stale_flags() {
  // By at least half again: applying a rule adds and merges one class after
  // another, and growing to the id count each time reallocated often.
  stale_flag_.resize(std::max(uf_.size(), stale_flag_.size() + stale_flag_.size() / 2), 0);
}

void EGraph::grow_owners(size_t word) const {
  owners_.resize(std::max(word + 1, owners_.size() + owners_.size() / 2), 0);
}

void EGraph::release_owned() noexcept {
  const size_t n = std::min(classes_.size(), parents_.size());
  for (size_t word = 0; word < owners_.size(); ++word) {
    for (uint64_t bits = owners_[word]; bits != 0; bits &= bits - 1) {
      const size_t id = word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
      if (id >= n) break;
      classes_[id].nodes.reset();
      parents_[id].reset();
    }
  }
  classes_.forget_elements();
  parents_.forget_elements();
  if (wide_keys_ == 0) keys_.forget_elements();
  owners_.clear();
  wide_keys_ = 0;
}

namespace {

// Past this many memo entries an e-graph's room is not kept: its tables are
// then large enough for their allocations to be a small share of the run.
constexpr uint64_t kKeptEntries = 4096;

EGraph& kept_graph() noexcept {
  // Holds no block (clear_keeping_room releases them), so dropping it at
  // thread exit never touches the block lists' own per-thread spares.
  static thread_local EGraph kept;
  return kept;
}

}  // namespace

void EGraph::clear_keeping_room() noexcept {
  // The lists are emptied through the owner marks, like a dropped e-graph's:
  // destroying each class and parent list in turn only to find it inline
  // was a visible share of a small reduction.
  release_owned();
  uf_.clear();
  keys_.clear();
  key_class_.clear();
  memo_.clear();
  classes_.clear();
  parents_.clear();
  parents_filed_ = 0;
  merged_ = false;
  class_count_ = 0;
  pending_.clear();
  fresh_key_ = 0;
  stale_.clear();
  stale_flag_.clear();
  owners_.clear();
  wide_keys_ = 0;
  by_op_.clear();
  fresh_ops_.clear();
  shapes_ = ShapeCounts();
  clean_ = false;
}

void EGraph::take_kept_room() {
  // The kept one gets this empty e-graph in exchange, which holds no block.
  if (uf_.size() != 0 || memo_.size() != 0) throw InternalFault("kept room taken by an e-graph in use");
  swap(kept_graph());
}

void EGraph::keep_room(EGraph&& egraph) {
  if (egraph.memo_entries() > kKeptEntries || egraph.id_count() > kKeptEntries) return;
  egraph.clear_keeping_room();
  kept_graph().swap(egraph);
}

void EGraph::reserve(size_t n) {
  size_t total = keys_.size() + n;
  keys_.reserve(total);
  key_class_.reserve(total);
  memo_.reserve(total);
  classes_.reserve(uf_.size() + n);
  parents_.reserve(uf_.size() + n);
  uf_.reserve(uf_.size() + n);
}

void EGraph::file_parents() const {
  // A key's children are the roots they had when it was added, which is
  // where its parent entries belong; keys a rebuild re-inserted are no
  // parents of anything. Each entry lands in a class far from the last one,
  // so the classes of a key some way ahead are fetched while this one is
  // filed.
  // Classes that fit in a core's caches are filed without it.
  constexpr size_t kAhead = 8;
  const size_t end = keys_.size();
  size_t k = parents_filed_;
  auto file = [&](size_t key) {
    if (key_class_[key] == kNoClass) return;
    for (Id c : keys_[key].children()) {
      ParentList& list = parents_[c];
      list.push_back(static_cast<ParentRef>(key));
      if (list.owns_block()) mark_owner(c);
    }
  };
  if (classes_.size() > kCachedClasses) {
    for (; k + kAhead < end; ++k) {
      for (Id c : keys_[k + kAhead].children()) __builtin_prefetch(&parents_[c], 1);
      file(k);
    }
  }
  for (; k < end; ++k) file(k);
  parents_filed_ = end;
}

Id EGraph::add_without_find(SymbolLang node) {
  for (Id& c : node.children()) {
    uf_.check(c);
    if (merged_) c = uf_.find(c);
  }
  MemoTable::Probe probe = memo_.probe(node, keys_);
  if (probe.found) return memo_.value(probe);

  if (keys_.size() >= UINT32_MAX) throw InternalFault("e-graph memo is full");
  Id id = uf_.make_set();
  ParentRef ref = static_cast<ParentRef>(keys_.size());
  memo_.insert_at(probe, ref, id);
  if (node.arity() > SymbolLang::kInline) [[unlikely]] {
    mark_owner(id);
    ++wide_keys_;
  }
  classes_.emplace_back(id, node);
  parents_.emplace_back();
  keys_.push_back(std::move(node));
  key_class_.push_back(id);
  ++class_count_;
  clean_ = false;
  return id;
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
  for (Id& c : node.children()) {
    uf_.check(c);
    c = uf_.find(c);
  }
  MemoTable::Probe probe = memo_.probe(node, keys_);
  if (!probe.found) return std::nullopt;
  return uf_.find(memo_.value(probe));
}

bool EGraph::lists_node(Id eclass, const SymbolLang& node) const {
  // A class that a rule merged usually holds a node or two; past a handful
  // the scan would cost more than the add it spares.
  constexpr size_t kLongest = 8;
  uf_.check(eclass);
  const ClassNodes& nodes = classes_[uf_.find(eclass)].nodes;
  if (nodes.size() > kLongest) return false;
  // The node's children as roots, found once at the first node of its shape.
  const std::span<const Id> kids = node.children();
  Id roots[SymbolLang::kInline];
  bool rooted = false;
  for (const SymbolLang& n : nodes) {
    if (!n.matches(node)) continue;
    if (kids.size() > SymbolLang::kInline) return false;
    if (!rooted) {
      for (size_t k = 0; k < kids.size(); ++k) {
        uf_.check(kids[k]);
        roots[k] = uf_.find(kids[k]);
      }
      rooted = true;
    }
    const Id* listed = n.children().data();
    bool same = true;
    for (size_t k = 0; k < kids.size(); ++k) same &= listed[k] == roots[k];
    if (same) return true;
  }
  return false;
}

bool EGraph::merge(Id a, Id b) {
  clean_ = false;
  uf_.check(a);
  uf_.check(b);
  Id ra = uf_.find_mut(a);
  Id rb = uf_.find_mut(b);
  if (ra == rb) return false;
  flush_parents();
  merged_ = true;
  // The class with more parent entries survives; ties go to the first.
  Id w = ra, l = rb;
  if (parents_[ra].size() < parents_[rb].size()) std::swap(w, l);

  uf_.set_parent(l, w);
  --class_count_;
  EClass& lost = classes_[l];
  ParentList& lost_parents = parents_[l];
  pending_.insert(pending_.end(), lost_parents.begin(), lost_parents.end());

  // The longer list goes first, the shorter is appended; the loser's slot is
  // left empty.
  EClass& win = classes_[w];
  using std::swap;  // the SmallVec overload, not EGraph::swap
  if (win.nodes.size() < lost.nodes.size()) swap(win.nodes, lost.nodes);
  win.nodes.append_from(lost.nodes);
  ParentList& win_parents = parents_[w];
  if (win_parents.size() < lost_parents.size()) swap(win_parents, lost_parents);
  win_parents.append_from(lost_parents);
  // The loser's lists are empty now; what they held is the winner's.
  if (win.nodes.owns_block() || win_parents.owns_block() || is_owner(l)) mark_owner(w);
  mark_stale(w);
  return true;
}

uint64_t EGraph::process_unions() {
  // Each entry reads its key, its class's union-find entry and its
  // children's, all far apart in a large e-graph. The entries some way down
  // the stack are those handled next (merges push theirs on top, to be
  // handled first), so theirs are fetched in two steps: the key lines, then,
  // once those have arrived, the union-find entries the key names.
  constexpr size_t kAhead = 8;
  const bool far = classes_.size() > kCachedClasses;
  uint64_t unions = 0;
  while (!pending_.empty()) {
    if (far) {
      const size_t n = pending_.size();
      if (n > 2 * kAhead) {
        const ParentRef next = pending_[n - 1 - 2 * kAhead];
        __builtin_prefetch(&keys_[next]);
        __builtin_prefetch(&key_class_[next]);
      }
      if (n > kAhead) {
        const ParentRef soon = pending_[n - 1 - kAhead];
        uf_.prefetch(key_class_[soon]);
        prefetch_children(keys_[soon]);
      }
    }
    ParentRef ref = pending_.back();
    pending_.pop_back();
    Id cls = key_class_[ref];
    // Its node now lies in cls's root class, whose list must be re-canonicalized.
    mark_stale(uf_.find_mut(cls));
    SymbolLang node = keys_[ref];
    canonicalize_mut(node);
    MemoTable::Probe probe = memo_.probe(node, keys_);
    if (!probe.found) {
      if (keys_.size() >= UINT32_MAX) throw InternalFault("e-graph memo is full");
      // The stale key stays; the canonical form becomes a key of its own.
      uint32_t key = static_cast<uint32_t>(keys_.size());
      memo_.insert_at(probe, key, cls);
      if (node.arity() > SymbolLang::kInline) [[unlikely]] ++wide_keys_;
      keys_.push_back(std::move(node));
      key_class_.push_back(kNoClass);
    } else {
      Id old = memo_.value(probe);
      memo_.set_value(probe, cls);
      if (merge(old, cls)) ++unions;
    }
  }
  return unions;
}

namespace {

void sort_nodes(ClassNodes& nodes) {
  if (nodes.size() <= 20) {
    for (size_t i = 1; i < nodes.size(); ++i) {
      for (size_t j = i; j > 0 && nodes[j] < nodes[j - 1]; --j) std::swap(nodes[j], nodes[j - 1]);
    }
  } else {
    std::sort(nodes.begin(), nodes.end());
  }
}

}  // namespace

void EGraph::rebuild_classes() {
  // Stale ids resolve to their roots, ascending and once each. Only roots
  // are marked, and a merge marks its survivor, so the root of a stale id is
  // stale itself: the stale roots are the marked ids that are still roots.
  // When many are marked, one pass over the marks lists them in order for
  // less than sorting them would cost.
  if (stale_.size() * 16 >= uf_.size()) {
    stale_.clear();
    const Id marked_end = static_cast<Id>(std::min(stale_flag_.size(), uf_.size()));
    for (Id id = 0; id < marked_end; ++id) {
      if (!stale_flag_[id]) continue;
      stale_flag_[id] = 0;
      if (uf_.is_root(id)) stale_.push_back(id);
    }
  } else {
    for (Id& t : stale_) {
      stale_flag_[t] = 0;
      t = uf_.find_mut(t);
    }
    if (!std::is_sorted(stale_.begin(), stale_.end())) std::sort(stale_.begin(), stale_.end());
    stale_.erase(std::unique(stale_.begin(), stale_.end()), stale_.end());
  }

  // Index pairs are produced in ascending class order, which OpIndex relies
  // on: fresh ids and stale roots are walked together.
  fresh_ops_.clear();
  const Id end = static_cast<Id>(uf_.size());
  // Fresh classes are read through their keys, which add made together with
  // them and in the same order; the key list is a third of the class list's
  // size.
  size_t key = fresh_key_;
  auto next_fresh = [&]() -> Id {
    while (key < keys_.size() && key_class_[key] == kNoClass) ++key;
    return key < keys_.size() ? key_class_[key] : end;
  };
  auto index_fresh_below = [&](Id bound) {
    for (Id f = next_fresh(); f < bound; f = next_fresh()) {
      if (uf_.is_root(f)) fresh_ops_.push_back(OpIndex::entry(keys_[key].op(), f));
      ++key;
    }
  };
  if (stale_.empty()) {
    // Nothing merged since the last rebuild: every fresh class is a root
    // whose one node is its key, and no key was re-inserted. The common
    // first rebuild after a bulk load takes this walk, a block at a time.
    fresh_ops_.reserve(keys_.size() - key);
    while (key < keys_.size()) {
      constexpr size_t kBlock = BlockList<SymbolLang>::kBlock;
      size_t run = std::min(keys_.size() - key, kBlock - (key & (kBlock - 1)));
      const SymbolLang* k_node = &keys_[key];
      const Id* k_class = &key_class_[key];
      for (size_t j = 0; j < run; ++j) fresh_ops_.push_back(OpIndex::entry(k_node[j].op(), k_class[j]));
      key += run;
    }
  }
  if (!shapes_.empty()) {
    // Every node added since the last rebuild now lies in some root's list,
    // its own class's or the one it was merged into.
    for (size_t k = fresh_key_; k < keys_.size(); ++k) {
      if (key_class_[k] != kNoClass) shapes_.add(keys_[k], 1);
    }
  }
  // The stale roots are far apart in a large e-graph: the class some way
  // ahead is fetched, and the union-find entries of the children of the one
  // nearer ahead, whose class line has arrived by then.
  constexpr size_t kAhead = 8;
  const bool far = classes_.size() > kCachedClasses;
  for (size_t s = 0; s < stale_.size(); ++s) {
    const Id r = stale_[s];
    if (far) {
      if (s + 2 * kAhead < stale_.size()) __builtin_prefetch(&classes_[stale_[s + 2 * kAhead]]);
      if (s + kAhead < stale_.size()) {
        const ClassNodes& ahead = classes_[stale_[s + kAhead]].nodes;
        if (!ahead.owns_block()) {
          for (const SymbolLang& n : ahead) prefetch_children(n);
        }
      }
    }
    index_fresh_below(r);
    if (next_fresh() == r) ++key;  // a fresh class that is also stale is handled here
    ClassNodes& nodes = classes_[r].nodes;
    for (SymbolLang& n : nodes) canonicalize_mut(n);
    if (nodes.size() > 1) {
      sort_nodes(nodes);
      uint32_t kept = 1;
      for (uint32_t k = 1; k < nodes.size(); ++k) {
        if (nodes[k] == nodes[kept - 1]) {
          if (!shapes_.empty()) shapes_.add(nodes[k], -1);
          continue;
        }
        if (k != kept) nodes[kept] = std::move(nodes[k]);
        ++kept;
      }
      nodes.truncate(kept);
    }
    for (size_t k = 0; k < nodes.size(); ++k) {
      if (k == 0 || nodes[k].op() != nodes[k - 1].op()) fresh_ops_.push_back(OpIndex::entry(nodes[k].op(), r));
    }
  }
  index_fresh_below(end);
  fresh_key_ = keys_.size();
  stale_.clear();
  if (!fresh_ops_.empty()) by_op_.refresh(fresh_ops_, uf_);
}

uint64_t EGraph::rebuild() {
  flush_parents();
  uint64_t unions = process_unions();
  rebuild_classes();
  flush_parents();  // past the keys process_unions re-inserted
  clean_ = true;
  return unions;
}

uint64_t EGraph::keep_shape_count(GlobalSymbol op, uint32_t arity) {
  if (!clean_) throw InternalFault("shape counts start on a clean e-graph");
  if (std::optional<uint64_t> kept = shapes_.count(op, arity)) return *kept;
  uint64_t count = 0;
  for (Id c : by_op_.classes_with_op(op)) {
    for (const SymbolLang& n : classes_[c].nodes) count += n.op() == op && n.arity() == arity;
  }
  shapes_.keep(op, arity, count);
  return count;
}

void EGraph::not_a_root(Id id) { throw InternalFault("not a root class: " + std::to_string(id)); }

std::span<const ParentRef> EGraph::parents(Id id) const {
  if (id >= uf_.size()) throw InternalFault("Invalid id " + std::to_string(id));
  flush_parents();
  return parents_[uf_.find(id)];
}

const EClass& EGraph::index(Id id) const {
  if (id >= uf_.size()) throw InternalFault("Invalid id " + std::to_string(id));
  return classes_[uf_.find(id)];
}

}  // namespace nodalis::egraph
