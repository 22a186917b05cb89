// One pass per delta. The rule tests read the key's fields instead of building
// its token, lookups use the translated inputs without building a key (only a
// new canonical node is built), and the table slot of a node a few places
// ahead is prefetched, which is what keeps a step in the millions of nodes per
// second on graphs whose table no longer fits in cache.
#include "optimizer/incremental_reducer.h"

#include <algorithm>

#include "base/fault.h"
#include "optimizer/key_content.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/rule_texts.h"

namespace nodalis::opt {

IncrementalReducer::IncrementalReducer() : seed_(table_seed()) {}

uint64_t IncrementalReducer::hash_of(const ir::NodeKey& s, std::span<const ir::NodeId> inputs) const {
  // A key with a NaN parameter can only equal another such key; those hash
  // (and compare) as whole keys, everything else as (content bytes, inputs).
  if (s.has_nan()) return s.with_inputs(inputs).hash(seed_);
  uint64_t h = hash_text(seed_, content_bytes(s));
  for (ir::NodeId x : inputs) h = hash_word(h, x);
  return hash_finish(hash_word(h, inputs.size()));
}

uint32_t IncrementalReducer::find(const ir::NodeKey& s, std::span<const ir::NodeId> inputs,
                                  uint64_t hash) const {
  if (s.has_nan()) {
    ir::NodeKey q = s.with_inputs(inputs);
    return table_.find(hash, [&](uint32_t p) { return canonical_[p].has_nan() && canonical_[p] == q; });
  }
  const std::string_view content = content_bytes(s);
  return table_.find(hash, [&](uint32_t p) {
    const ir::NodeKey& c = canonical_[p];
    return !c.has_nan() && c.kind() == s.kind() && same_inputs(c.inputs(), inputs) &&
           content_bytes(c) == content;
  });
}

uint64_t IncrementalReducer::enter(const ir::NodeKey& s, std::span<const ir::NodeId> inputs,
                                   uint64_t hash) {
  if (canonical_.size() >= 0xFFFFFFFEu) throw CapacityError("canonical form past 2^32 - 2 nodes");
  const bool unchanged = same_inputs(s.inputs(), inputs);
  canonical_.push_back(unchanged ? s : s.with_inputs(inputs));
  try {
    table_.insert(static_cast<uint32_t>(canonical_.size() - 1), hash);
  } catch (...) {
    canonical_.pop_back();
    throw;
  }
  return canonical_.size() - 1;
}

IncrementalReducer::Plan IncrementalReducer::plan(const ir::NodeKey& s) {
  Plan p;
  const uint32_t arity = s.inputs().size();
  if (s.kind() == ir::NodeKind::Op) {
    // The engine's identity rules match one-input nodes only; an identity
    // text over two operands is a different operation and is kept.
    if (arity == 1 && is_identity_op(s)) {
      p.rule = Rule::Identity;
      return p;
    }
    if (arity == 2 && is_commutative_op(s)) p.rule = Rule::Commutative;
  }
  if (s.has_nan()) return p;
  ahead_.clear();
  for (ir::NodeId x : s.inputs()) {
    if (x >= id_map_.size()) return p;  // an earlier node of this delta: not known yet
    ahead_.push_back(id_map_[x]);
  }
  p.hashed = true;
  p.hash = hash_of(s, ahead_);
  table_.prefetch(p.hash);
  if (p.rule == Rule::Commutative) {
    const ir::NodeId swapped[2] = {ahead_[1], ahead_[0]};
    p.swapped_hash = hash_of(s, swapped);
    table_.prefetch(p.swapped_hash);
  }
  return p;
}

Result<uint64_t, ir::BadNodeId> IncrementalReducer::step(std::span<const ir::NodeKey> delta) {
  // Geometric growth: reserving the exact size step after step would copy the
  // whole map on every small step.
  if (id_map_.capacity() < id_map_.size() + delta.size())
    id_map_.reserve(std::max(id_map_.size() + delta.size(), 2 * id_map_.capacity()));
  constexpr size_t kRing = kLookAhead + 1;
  for (size_t k = 0; k < std::min(kLookAhead, delta.size()); ++k) plans_[k % kRing] = plan(delta[k]);
  for (size_t k = 0; k < delta.size(); ++k) {
    if (k + kLookAhead < delta.size()) plans_[(k + kLookAhead) % kRing] = plan(delta[k + kLookAhead]);
    const ir::NodeKey& s = delta[k];
    inputs_.clear();
    for (ir::NodeId x : s.inputs()) {
      if (x >= id_map_.size()) return Err(ir::BadNodeId{x});
      inputs_.push_back(id_map_[x]);
    }
    // Inputs translate the same way now as when the plan was made: id map
    // entries never change once written.
    const Plan& p = plans_[k % kRing];
    if (p.rule == Rule::Identity) {
      id_map_.push_back(inputs_[0]);
      continue;
    }
    const uint64_t h = p.hashed ? p.hash : hash_of(s, inputs_);
    uint32_t found = find(s, inputs_, h);
    if (found == FlatIndex::kAbsent && p.rule == Rule::Commutative) {
      const ir::NodeId swapped[2] = {inputs_[1], inputs_[0]};
      found = find(s, swapped, p.hashed ? p.swapped_hash : hash_of(s, swapped));
    }
    id_map_.push_back(found != FlatIndex::kAbsent ? found : enter(s, inputs_, h));
  }
  total_work_ += delta.size();
  return static_cast<uint64_t>(delta.size());
}

Result<Reduced, ir::BadNodeId> IncrementalReducer::finalize(std::span<const uint64_t> outputs,
                                                            const RewriteEngine& engine,
                                                            FusionRule fusion) const {
  std::vector<uint64_t> translated;
  translated.reserve(outputs.size());
  for (uint64_t o : outputs) {
    if (o >= id_map_.size()) return Err(ir::BadNodeId{o});
    translated.push_back(id_map_[o]);
  }
  return reduce_nodes(canonical_, translated, engine, fusion);
}

}  // namespace nodalis::opt
