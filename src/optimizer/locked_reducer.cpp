// The reducer's locked operations: the delta is taken from the store inside
// the reducer's mutex, so two threads stepping one reducer never consume the
// same nodes twice.
#include "optimizer/locked_reducer.h"

namespace nodalis::opt {

namespace {
Result<uint64_t, ir::BadNodeId> consume_delta(IncrementalReducer& r, const ir::GraphStore& store) {
  std::vector<ir::NodeKey> delta = store.snapshot_from(r.watermark());
  return r.step(delta);
}
}  // namespace

Result<uint64_t, Refusal> LockedReducer::step(const ir::GraphStore& store) {
  return with_lock([&](IncrementalReducer& r) -> Result<uint64_t, Refusal> {
    if (!follows(store)) return Err(Refusal(OtherStore{}));
    store_serial_ = store.serial();
    auto consumed = consume_delta(r, store);
    if (!consumed) return Err(Refusal(consumed.error()));
    return consumed.value();
  });
}

Result<StoreReduction, Refusal> LockedReducer::finalize(
    const ir::GraphStore& store, std::optional<std::span<const uint64_t>> outputs,
    const RewriteEngine& engine, FusionRule fusion) {
  // Another store is named as such, whatever its outputs; the check is
  // repeated below, where the store is taken.
  if (!with_lock([&](IncrementalReducer&) { return follows(store); })) return Err(Refusal(OtherStore{}));
  // The outputs are settled before the reducer is touched.
  std::vector<uint64_t> outs;
  if (outputs) {
    const uint64_t n = store.node_count();
    for (uint64_t o : *outputs)
      if (o >= n) return Err(Refusal(ir::BadNodeId{o}));
    outs.assign(outputs->begin(), outputs->end());
  } else {
    outs = store.outputs();
  }
  return with_lock([&](IncrementalReducer& r) -> Result<StoreReduction, Refusal> {
    if (!follows(store)) return Err(Refusal(OtherStore{}));
    store_serial_ = store.serial();
    auto consumed = consume_delta(r, store);
    if (!consumed) return Err(Refusal(consumed.error()));
    auto reduced = r.finalize(outs, engine, fusion);
    if (!reduced) return Err(Refusal(reduced.error()));
    return from_reduced(std::move(reduced).value());
  });
}

}  // namespace nodalis::opt
