// Store reductions: copy, reduce outside the lock, intern into a new store.
#include "optimizer/store_reduction.h"

#include <vector>

#include "base/fault.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/scratch_vector.h"

namespace nodalis::opt {

std::vector<ir::NodeId> from_reduced_into(const Reduced& reduced, ir::GraphStore& fresh) {
  // The node count is known: one table and list of the right size instead
  // of the growth steps of a store built one call at a time.
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
      if (p >= remap.size()) throw InternalFault("reduced graph references only earlier nodes: " +
                                                 ir::BadNodeId{p}.debug());
      inputs.push_back(remap[p]);
      same = same && remap[p] == p;
    }
    auto id = fresh.intern(same ? key : key.with_inputs(inputs));
    if (!id) throw InternalFault("reduced graph references only earlier nodes: " + id.error().debug());
    remap.push_back(id.value());
  }
  std::vector<ir::NodeId> outputs;
  outputs.reserve(reduced.outputs.size());
  for (uint64_t o : reduced.outputs) {
    if (o >= remap.size())
      throw InternalFault("reduced output is valid: " + ir::BadNodeId{o}.debug());
    auto marked = fresh.mark_output(remap[o]);
    if (!marked) throw InternalFault("reduced output is valid: " + marked.error().debug());
    outputs.push_back(remap[o]);
  }
  return outputs;
}

StoreReduction from_reduced(const Reduced& reduced) {
  StoreReduction out{std::make_unique<ir::GraphStore>(), reduced.report(), {}};
  out.outputs = from_reduced_into(reduced, *out.store);
  return out;
}

Result<Reduced, ir::BadNodeId> reduce_store_nodes(const ir::GraphStore& store,
                                                  std::optional<std::span<const uint64_t>> outputs,
                                                  const RewriteEngine& engine, FusionRule fusion) {
  if (!outputs) {
    // Nodes and marks from one lock, so the marks name nodes of the copy.
    ir::StoreSnapshot snap = store.snapshot();
    return reduce_nodes(snap.nodes, snap.outputs, engine, fusion);
  }
  std::vector<ir::NodeKey> nodes = store.nodes();
  for (uint64_t o : *outputs)
    if (o >= nodes.size()) return Err(ir::BadNodeId{o});
  return reduce_nodes(nodes, *outputs, engine, fusion);
}

Result<StoreReduction, ir::BadNodeId> reduce_to_new_store(const ir::GraphStore& store,
                                                          std::optional<std::span<const uint64_t>> outputs,
                                                          const RewriteEngine& engine, FusionRule fusion) {
  auto reduced = reduce_store_nodes(store, outputs, engine, fusion);
  if (!reduced) return Err(reduced.error());
  return from_reduced(reduced.value());
}

}  // namespace nodalis::opt
