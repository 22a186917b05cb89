// One pass per delta; the rule tests read the key's fields instead of building
// its token, which is what keeps a step in the millions of nodes per second.
#include "optimizer/incremental_reducer.h"

#include <algorithm>

#include "ir/fault.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/rule_texts.h"

namespace nodalis::opt {

uint64_t IncrementalReducer::hash_cons(const ir::NodeKey& q) {
  const uint64_t h = q.hash(table_.seed());
  uint64_t found = table_.find(q, h, canonical_);
  if (found != ir::InternIndex::kNotFound) return found;
  table_.reserve_one(canonical_);
  canonical_.push_back(q);
  try {
    table_.insert(canonical_.size() - 1, h, canonical_);
  } catch (...) {
    canonical_.pop_back();
    throw;
  }
  return canonical_.size() - 1;
}

Result<uint64_t, ir::BadNodeId> IncrementalReducer::step(std::span<const ir::NodeKey> delta) {
  // Geometric growth: reserving the exact size step after step would copy the
  // whole map on every small step.
  if (id_map_.capacity() < id_map_.size() + delta.size())
    id_map_.reserve(std::max(id_map_.size() + delta.size(), 2 * id_map_.capacity()));
  for (const ir::NodeKey& s : delta) {
    ir::InputsView ins = s.inputs();
    scratch_.clear();
    bool unchanged = true;
    for (ir::NodeId x : ins) {
      if (x >= id_map_.size()) return Err(ir::BadNodeId{x});
      scratch_.push_back(id_map_[x]);
      unchanged = unchanged && id_map_[x] == x;
    }
    const ir::NodeKey q = unchanged ? s : s.with_inputs(scratch_);

    if (q.kind() == ir::NodeKind::Op) {
      // The engine's identity rules match one-input nodes only; an identity
      // text over two operands is a different operation and is kept.
      if (scratch_.size() == 1 && is_identity_op(q)) {
        id_map_.push_back(scratch_[0]);
        continue;
      }
      if (scratch_.size() == 2 && is_commutative_op(q)) {
        const uint64_t h = q.hash(table_.seed());
        uint64_t found = table_.find(q, h, canonical_);
        if (found == ir::InternIndex::kNotFound) {
          const ir::NodeId swapped_inputs[2] = {scratch_[1], scratch_[0]};
          ir::NodeKey swapped = q.with_inputs(swapped_inputs);
          found = table_.find(swapped, swapped.hash(table_.seed()), canonical_);
        }
        id_map_.push_back(found != ir::InternIndex::kNotFound ? found : hash_cons(q));
        continue;
      }
    }
    id_map_.push_back(hash_cons(q));
  }
  total_work_ += delta.size();
  return static_cast<uint64_t>(delta.size());
}

Result<Reduced, ir::BadNodeId> IncrementalReducer::finalize(std::span<const uint64_t> outputs,
                                                            const RewriteEngine& engine,
                                                            bool maximal_fusion) const {
  std::vector<uint64_t> translated;
  translated.reserve(outputs.size());
  for (uint64_t o : outputs) {
    if (o >= id_map_.size()) return Err(ir::BadNodeId{o});
    translated.push_back(id_map_[o]);
  }
  return reduce_with_mode(canonical_, translated, engine, maximal_fusion);
}

}  // namespace nodalis::opt
