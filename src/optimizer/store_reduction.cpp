// Store reductions: copy, reduce outside the lock, intern into a new store.
#include "optimizer/store_reduction.h"

#include <vector>

#include "base/fault.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/scratch_vector.h"

namespace nodalis::opt {

namespace {

[[noreturn]] void forward_reference(ir::NodeId p) {
  throw InternalFault("reduced graph references only earlier nodes: " + ir::BadNodeId{p}.debug());
}

// The store's id of each reduced node, interning one at a time: for a
// reduced list with two equal nodes, which interning merges.
ScratchVector<ir::NodeId> intern_each(const Reduced& reduced, ir::GraphStore& fresh) {
  fresh.reserve(reduced.nodes.size());
  ScratchVector<ir::NodeId> remap;
  remap.reserve(reduced.nodes.size());
  ScratchVector<ir::NodeId> inputs;
  for (const ir::NodeKey& key : reduced.nodes) {
    // Interning may merge a node into an earlier equal one, so positions and
    // ids can part; while they agree the key is interned as it is.
    bool same = true;
    inputs.clear();
    for (ir::NodeId p : key.inputs()) {
      if (p >= remap.size()) forward_reference(p);
      inputs.push_back(remap[p]);
      same = same && remap[p] == p;
    }
    auto id = fresh.intern(same ? key : key.with_inputs(inputs));
    if (!id) forward_reference(id.error().id);
    remap.push_back(id.value());
  }
  return remap;
}

// The list as it stands, node i as id i, its key taken over, with no lookup,
// lock or reference count per node; false when two nodes are equal, which
// only a list the pipeline did not vouch for may hold. A vouched list is not
// even hashed until the store is first looked up in.
bool fill_distinct(Reduced& reduced, ir::GraphStore& fresh) {
  if (reduced.distinct) {
    auto adopted = fresh.adopt_distinct_keys(reduced.nodes);
    if (!adopted) forward_reference(adopted.error().id);
    return true;
  }
  auto filled = fresh.fill_from_keys(reduced.nodes);
  if (!filled) forward_reference(filled.error().id);
  return filled.value();
}

}  // namespace

std::vector<ir::NodeId> from_reduced_into(Reduced& reduced, ir::GraphStore& fresh) {
  const bool distinct = fill_distinct(reduced, fresh);
  ScratchVector<ir::NodeId> remap;
  if (!distinct) remap = intern_each(reduced, fresh);
  const size_t count = reduced.nodes.size();
  for (uint64_t o : reduced.outputs)
    if (o >= count) throw InternalFault("reduced output is valid: " + ir::BadNodeId{o}.debug());
  // With ids equal to positions the reduced outputs are already the ids:
  // the list is taken over rather than copied into one more allocation.
  std::vector<ir::NodeId> outputs;
  if (distinct) {
    outputs = std::move(reduced.outputs);
  } else {
    outputs.reserve(reduced.outputs.size());
    for (uint64_t o : reduced.outputs) outputs.push_back(remap[o]);
  }
  auto marked = fresh.mark_outputs(outputs);
  if (!marked) throw InternalFault("reduced output is valid: " + marked.error().debug());
  return outputs;
}

StoreReduction from_reduced(Reduced reduced) {
  StoreReduction out{std::make_unique<ir::GraphStore>(), reduced.report(), {}};
  out.outputs = from_reduced_into(reduced, *out.store);
  return out;
}

Result<Reduced, ir::BadNodeId> reduce_store_nodes(const ir::GraphStore& store,
                                                  std::optional<std::span<const uint64_t>> outputs,
                                                  const RewriteEngine& engine, FusionRule fusion) {
  // Nodes and marks from one lock, so the marks name nodes of the copy. The
  // keys are only borrowed: the store outlives this call, and a key the
  // result keeps is copied (and counted) on the way.
  const ir::GraphStore::Borrowed snap = store.borrow();
  if (!outputs) return reduce_nodes(snap.nodes(), snap.outputs(), engine, fusion);
  for (uint64_t o : *outputs)
    if (o >= snap.nodes().size()) return Err(ir::BadNodeId{o});
  return reduce_nodes(snap.nodes(), *outputs, engine, fusion);
}

Result<StoreReduction, ir::BadNodeId> reduce_to_new_store(const ir::GraphStore& store,
                                                          std::optional<std::span<const uint64_t>> outputs,
                                                          const RewriteEngine& engine, FusionRule fusion) {
  auto reduced = reduce_store_nodes(store, outputs, engine, fusion);
  if (!reduced) return Err(reduced.error());
  return from_reduced(std::move(reduced).value());
}

}  // namespace nodalis::opt
