// IncrementalReducer: follows one store while it is being built. Each step
// folds only the nodes appended since the last one into a canonical form
// (identity elimination, commutativity dedup, hash-consing: the engine's rules,
// applied node by node in arrival order), and finalize runs the pipeline on
// that form instead of the store's whole history.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/result.h"
#include "ir/bad_node_id.h"
#include "ir/node_key.h"
#include "optimizer/flat_index.h"
#include "optimizer/reduced.h"
#include "optimizer/rewrite_engine.h"
#include "optimizer/stage_fusion.h"

namespace nodalis::opt {

class IncrementalReducer {
 public:
  IncrementalReducer();

  // Consumes `delta`, the store's nodes from the watermark on, in id order.
  // Returns its length, or BadNodeId for an input id not yet consumed (the
  // nodes before it stay consumed; total_work does not grow).
  Result<uint64_t, ir::BadNodeId> step(std::span<const ir::NodeKey> delta);

  // Reduces the canonical form against store ids `outputs`; BadNodeId for the
  // first id not yet consumed. Reads the reducer and changes nothing.
  Result<Reduced, ir::BadNodeId> finalize(std::span<const uint64_t> outputs,
                                          const RewriteEngine& engine, FusionRule fusion) const;

  uint64_t watermark() const noexcept { return id_map_.size(); }
  uint64_t total_work() const noexcept { return total_work_; }
  uint64_t canonical_count() const noexcept { return canonical_.size(); }
  const std::vector<ir::NodeKey>& canonical() const noexcept { return canonical_; }
  // Canonical index of every consumed store node.
  const std::vector<uint64_t>& id_map() const noexcept { return id_map_; }

 private:
  // The hash-cons table holds canonical nodes by (content, inputs), so a node
  // is looked up with its translated inputs without building a key for it.
  uint64_t hash_of(const ir::NodeKey& s, std::span<const ir::NodeId> inputs) const;
  uint32_t find(const ir::NodeKey& s, std::span<const ir::NodeId> inputs, uint64_t hash) const;
  uint64_t enter(const ir::NodeKey& s, std::span<const ir::NodeId> inputs, uint64_t hash);
  // What a step does with one delta node, settled a few nodes ahead: its rule,
  // and, once its inputs are known, the hashes of its lookups, whose table
  // slots are then prefetched.
  enum class Rule : uint8_t { HashCons, Identity, Commutative };
  struct Plan {
    Rule rule = Rule::HashCons;
    bool hashed = false;
    uint64_t hash = 0;
    uint64_t swapped_hash = 0;  // Commutative only
  };
  Plan plan(const ir::NodeKey& s);
  static constexpr size_t kLookAhead = 7;  // the ring of plans has 8 entries

  std::vector<ir::NodeKey> canonical_;
  std::vector<uint64_t> id_map_;
  FlatIndex table_;  // canonical positions
  uint64_t seed_;
  uint64_t total_work_ = 0;
  std::vector<ir::NodeId> inputs_;
  std::vector<ir::NodeId> ahead_;
  Plan plans_[kLookAhead + 1];
};

}  // namespace nodalis::opt
