// LockedReducer: an IncrementalReducer behind its one mutex, as the Python
// class holds it. Every operation takes the mutex for its whole run; step and
// finalize take the store's lock inside it (snapshot_from), so the order is
// always reducer first, store second. A fault that escapes while the mutex is
// held poisons the reducer for good.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/fault.h"
#include "base/poisoning.h"
#include "base/result.h"
#include "ir/bad_node_id.h"
#include "ir/graph_store.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/store_reduction.h"

namespace nodalis::opt {

inline constexpr const char* kReducerPoisoned = "incremental reducer poisoned";

// A reducer follows the first store it consumes; handed any other, it
// refuses and changes nothing.
struct OtherStore {
  friend bool operator==(const OtherStore&, const OtherStore&) = default;
};
using Refusal = std::variant<ir::BadNodeId, OtherStore>;

class LockedReducer {
 public:
  // Runs work(reducer) under the mutex, by the poisoning rule of
  // run_poisoning (a refused node id leaves the reducer whole too).
  template <class Work>
  decltype(auto) with_lock(Work&& work) {
    std::lock_guard<std::mutex> lock(mu_);
    if (poisoned_) throw InternalFault(std::string(kReducerPoisoned) + ": an earlier call failed while holding it");
    return run_poisoning(poisoned_, [&]() -> decltype(auto) { return work(reducer_); });
  }

  // Consumes the store's nodes from the watermark on.
  Result<uint64_t, Refusal> step(const ir::GraphStore& store);

  // Consumes what is left of the store, then reduces the canonical form against
  // `outputs` (checked against the store's node count before anything but the
  // store itself) or, without them, against the store's marked outputs.
  Result<StoreReduction, Refusal> finalize(const ir::GraphStore& store,
                                                 std::optional<std::span<const uint64_t>> outputs,
                                                 const RewriteEngine& engine, FusionRule fusion);

  uint64_t watermark() { return with_lock([](IncrementalReducer& r) { return r.watermark(); }); }
  uint64_t total_work() { return with_lock([](IncrementalReducer& r) { return r.total_work(); }); }
  uint64_t canonical_count() {
    return with_lock([](IncrementalReducer& r) { return r.canonical_count(); });
  }

 private:
  // With the mutex held: whether `store` is the one followed (or none is yet).
  bool follows(const ir::GraphStore& store) const noexcept {
    return store_serial_ == 0 || store_serial_ == store.serial();
  }

  std::mutex mu_;
  bool poisoned_ = false;
  uint64_t store_serial_ = 0;  // the followed store's serial; 0 until the first
  IncrementalReducer reducer_;
};

}  // namespace nodalis::opt
