// Adding, merging and rebuilding. Congruence closure is deferred: a union only
// queues the loser's parents, and rebuild re-inserts them in canonical form,
// merging whatever collides, until nothing is pending.
#include "egraph/egraph.h"

#include <algorithm>
#include <string>

#include "egraph/fault.h"

namespace nodalis::egraph {

void EGraph::canonicalize(SymbolLang& node) const {
  for (Id& c : node.children()) c = uf_.find(c);
}

void EGraph::canonicalize_mut(SymbolLang& node) {
  for (Id& c : node.children()) c = uf_.find_mut(c);
}

Id EGraph::find(Id id) const {
  uf_.check(id);
  return uf_.find(id);
}

void EGraph::touch(Id id) {
  if (!touched_flag_[id]) {
    touched_flag_[id] = 1;
    touched_.push_back(id);
  }
}

void EGraph::reserve(size_t n) {
  size_t total = keys_.size() + n;
  keys_.reserve(total);
  key_class_.reserve(total);
  memo_.reserve(total);
  classes_.reserve(uf_.size() + n);
  touched_flag_.reserve(uf_.size() + n);
}

Id EGraph::add_internal(SymbolLang node) {
  for (Id& c : node.children()) {
    uf_.check(c);
    c = uf_.find(c);
  }
  uint64_t hash = node.hash();
  uint32_t slot = memo_.find(node, hash, keys_);
  if (slot != MemoTable::kNotFound) return memo_.value(slot);

  if (keys_.size() >= UINT32_MAX) throw EngineFault("e-graph memo is full");
  Id id = uf_.make_set();
  ParentRef ref = static_cast<ParentRef>(keys_.size());
  for (Id c : node.children()) classes_[c].parents.push_back(ref);
  EClass& ec = classes_.emplace_back();
  ec.id = id;
  ec.nodes.push_back(node);
  keys_.push_back(std::move(node));
  key_class_.push_back(id);
  pending_.push_back(ref);
  touched_flag_.push_back(0);
  touch(id);
  ++class_count_;
  memo_.insert(ref, id, hash);
  clean_ = false;
  return id;
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
  for (Id& c : node.children()) {
    uf_.check(c);
    c = uf_.find(c);
  }
  uint32_t slot = memo_.find(node, node.hash(), keys_);
  if (slot == MemoTable::kNotFound) return std::nullopt;
  return uf_.find(memo_.value(slot));
}

bool EGraph::union_(Id a, Id b) {
  clean_ = false;
  uf_.check(a);
  uf_.check(b);
  Id ra = uf_.find_mut(a);
  Id rb = uf_.find_mut(b);
  if (ra == rb) return false;
  // The class with more parent entries survives; ties go to the first.
  Id w = ra, l = rb;
  if (classes_[ra].parents.size() < classes_[rb].parents.size()) std::swap(w, l);

  uf_.set_parent(l, w);
  --class_count_;
  EClass lost = std::move(classes_[l]);
  classes_[l] = EClass{};
  pending_.insert(pending_.end(), lost.parents.begin(), lost.parents.end());

  // The longer list goes first, the shorter is appended.
  EClass& win = classes_[w];
  if (win.nodes.size() < lost.nodes.size()) win.nodes.swap(lost.nodes);
  win.nodes.insert(win.nodes.end(), std::make_move_iterator(lost.nodes.begin()),
                   std::make_move_iterator(lost.nodes.end()));
  if (win.parents.size() < lost.parents.size()) win.parents.swap(lost.parents);
  win.parents.insert(win.parents.end(), lost.parents.begin(), lost.parents.end());
  touch(w);
  return true;
}

uint64_t EGraph::process_unions() {
  uint64_t unions = 0;
  while (!pending_.empty()) {
    ParentRef ref = pending_.back();
    pending_.pop_back();
    Id cls = key_class_[ref];
    // Its node now lies in cls's root class, whose list must be re-canonicalized.
    touch(cls);
    SymbolLang node = keys_[ref];
    canonicalize_mut(node);
    uint64_t hash = node.hash();
    uint32_t slot = memo_.find(node, hash, keys_);
    if (slot == MemoTable::kNotFound) {
      if (keys_.size() >= UINT32_MAX) throw EngineFault("e-graph memo is full");
      // The stale key stays; the canonical form becomes a key of its own.
      memo_.insert(static_cast<uint32_t>(keys_.size()), cls, hash);
      keys_.push_back(std::move(node));
      key_class_.push_back(kNoClass);
    } else {
      Id old = memo_.value(slot);
      memo_.set_value(slot, cls);
      if (union_(old, cls)) ++unions;
    }
  }
  return unions;
}

namespace {

void sort_nodes(std::vector<SymbolLang>& nodes) {
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
  // Resolve touched ids to roots, ascending and once each.
  for (Id& t : touched_) {
    touched_flag_[t] = 0;
    t = uf_.find_mut(t);
  }
  if (!std::is_sorted(touched_.begin(), touched_.end())) std::sort(touched_.begin(), touched_.end());
  touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());

  fresh_ops_.clear();
  for (Id r : touched_) {
    std::vector<SymbolLang>& nodes = classes_[r].nodes;
    for (SymbolLang& n : nodes) canonicalize_mut(n);
    if (nodes.size() > 1) {
      sort_nodes(nodes);
      nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    }
    for (size_t k = 0; k < nodes.size(); ++k) {
      if (k == 0 || nodes[k].op() != nodes[k - 1].op()) fresh_ops_.push_back(OpIndex::entry(nodes[k].op(), r));
    }
  }
  touched_.clear();
  if (!fresh_ops_.empty()) by_op_.refresh(fresh_ops_, uf_);
}

uint64_t EGraph::rebuild() {
  uint64_t unions = process_unions();
  rebuild_classes();
  clean_ = true;
  return unions;
}

const EClass& EGraph::index(Id id) const {
  if (id >= uf_.size()) throw EngineFault("Invalid id " + std::to_string(id));
  return classes_[uf_.find(id)];
}

}  // namespace nodalis::egraph
