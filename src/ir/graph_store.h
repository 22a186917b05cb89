// GraphStore: one IR graph as an append-only list of interned nodes (a node's
// id is its position) plus the marked outputs. Equal keys get one id; inputs
// must name earlier nodes, so the list is always topologically ordered. One
// mutex per store; every operation holds it only for its own work, and an
// internal fault while it is held poisons the store for good.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"
#include "ir/bad_node_id.h"
#include "ir/intern_index.h"
#include "ir/key_arena.h"
#include "base/large_pages.h"
#include "ir/node_key.h"
#include "ir/store_lock.h"

namespace nodalis::ir {

// Nodes and marks as one state of a store, borrowed: from a StoreSnapshot, or
// from the store itself while GraphStore::read holds its lock.
struct StoreView {
  std::span<const NodeKey> nodes;
  std::span<const NodeId> outputs;  // in mark order
};

struct StoreSnapshot {
  std::vector<NodeKey> nodes;   // shares the immutable keys
  std::vector<NodeId> outputs;  // in mark order
  StoreView view() const noexcept { return {nodes, outputs}; }
};

// Where GraphStore::fill takes a whole graph's records from, a run at a time.
class RecordRuns {
 public:
  virtual ~RecordRuns() = default;
  // The next records in order, written into `room` (up to its size) and
  // valid until the next call, with inputs naming only earlier records; how
  // many, or 0 at the end.
  virtual size_t next(std::span<RecordView> room) = 0;
};

class GraphStore {
 public:
  GraphStore();  // empty, with a hash seed of its own
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // The node's id: the existing one for an equal key, else the next id.
  // BadNodeId for the first input id (in list order) not below node_count().
  Result<NodeId, BadNodeId> intern(NodeKey key);
  // The same for a record not yet held by a key (see NodeRecord): a key is
  // allocated only when the node is new, so re-adding a node allocates nothing.
  Result<NodeId, BadNodeId> intern_record(const RecordView& record);
  // intern_record for each record in order under one lock, with the table
  // lookups of the next few records started ahead (for a caller adding a
  // whole graph: the blob decoder). ids[i] gets records[i]'s id. Stops right
  // after the first record that an equal node already present absorbs, so
  // that a caller whose later records name positions can renumber them.
  // Returns how many records were taken, or BadNodeId for the first record
  // with an input not below the node count at its turn.
  Result<size_t, BadNodeId> intern_records(std::span<const RecordView> records, std::span<NodeId> ids);
  // Room for `nodes` nodes in all, so that such a caller, knowing how many
  // are coming, does not regrow the node list and table on the way.
  void reserve(uint64_t nodes);
  // Fills this store, which must be empty, with every record of `runs` as a
  // new node, all under one lock: appended as they come without a lookup,
  // then placed in the table at once, in table order rather than at random.
  // True when they were all distinct (record i is node i). False when two
  // were equal: the store is then left empty, for the caller to intern the
  // records one by one, merging as intern does.
  bool fill(RecordRuns& runs);
  // fill for nodes already held by keys, which the store takes over rather
  // than copies: `keys` become nodes 0, 1, ... and are left empty handles.
  // Ok(false) when two were equal, or the first input not below its key's
  // position: then the store is left empty and `keys` as they were.
  Result<bool, BadNodeId> fill_from_keys(std::span<NodeKey> keys);
  // fill_from_keys for keys that their maker has proved pairwise distinct
  // (a reduction's result, see opt::FusedGraph::distinct): they are taken
  // over unhashed, and the table is built by the first operation that looks
  // a key up, since a reduced store is often only read. Two equal keys found
  // then are an internal fault there. BadNodeId for the first input not below
  // its key's position: then the store is left empty and `keys` as they were.
  Result<Unit, BadNodeId> adopt_distinct_keys(std::span<NodeKey> keys);
  // Appends id to the outputs unless already marked.
  Result<Unit, BadNodeId> mark_output(NodeId id);
  // mark_output of each id in order, under one lock; with an id not below
  // node_count() it marks none and names the first such id.
  Result<Unit, BadNodeId> mark_outputs(std::span<const NodeId> ids);

  std::vector<NodeId> outputs() const;
  uint64_t node_count() const;
  StoreSnapshot snapshot() const;                         // nodes and marks, one lock

  // Nodes and marks under one lock, like snapshot, but the keys are lent
  // rather than shared: no reference count is taken and dropped per node.
  // Valid while the store lives (a store never lets go of a node); a key
  // copied out of it is an ordinary, counted key.
  class Borrowed {
   public:
    Borrowed(Borrowed&& o) noexcept
        : nodes_(std::move(o.nodes_)), count_(std::exchange(o.count_, 0)), outputs_(std::move(o.outputs_)) {}
    Borrowed& operator=(Borrowed&&) = delete;
    std::span<const NodeKey> nodes() const noexcept { return {nodes_.get(), count_}; }
    std::span<const NodeId> outputs() const noexcept { return outputs_; }

   private:
    friend class GraphStore;
    Borrowed() = default;
    // The lent keys took no count, so ending the loan gives none back: their
    // memory is freed with no pass over them (a million-node store would
    // otherwise be walked twice more, to clear the keys and to destroy them).
    struct FreeOnly {
      void operator()(NodeKey* keys) const noexcept { ::operator delete(keys); }
    };
    std::unique_ptr<NodeKey[], FreeOnly> nodes_;
    size_t count_ = 0;
    std::vector<NodeId> outputs_;
  };
  Borrowed borrow() const;
  std::vector<NodeKey> snapshot_from(uint64_t start) const;  // nodes [min(start, n), n)
  std::vector<NodeKey> nodes() const;                     // all nodes, one lock
  // `render` of the nodes and marks under the lock, without copying them:
  // for a reader that walks every node once (DOT).
  std::string read(std::string (*render)(const StoreView&)) const;
  // A number no other store of this process has had or will have: lets an
  // object that follows one store (an incremental reducer) recognise it
  // without holding a reference to it.
  uint64_t serial() const noexcept { return serial_; }

 private:
  class Guard;  // locks, refuses a poisoned store, poisons on an escaping fault
  template <class MakeKey>
  Result<NodeId, BadNodeId> intern_locked(const RecordView& record, uint64_t hash, MakeKey&& make_key);
  template <class MakeKey>
  Result<NodeId, BadNodeId> intern_held(const RecordView& record, uint64_t hash, MakeKey&& make_key);
  void clear_locked() noexcept;  // back to empty (fill's way out)
  // With the lock held, into an empty store: `keys` moved in as nodes 0..n-1
  // once every input is checked, else the first input not below its key's
  // position, with nothing taken. `caller` names the fault of a store in use.
  std::optional<BadNodeId> take_keys_locked(std::span<NodeKey> keys, const char* caller);
  // With the lock held: every node hashed and placed into the empty table;
  // false on two equal nodes, with the table left for clear().
  bool place_all_locked();
  // With the lock held: the table over every node, once adopt_distinct_keys
  // has left it for later. Inline: every lookup asks.
  void index_adopted() {
    if (unindexed_) [[unlikely]] index_adopted_now();
  }
  void index_adopted_now();
  friend struct GraphStoreFaultInjection;  // tests only: runs work under the Guard
  const uint64_t serial_;
  mutable StoreLock mu_;
  mutable bool poisoned_ = false;
  KeyArena arena_;  // the memory of the keys interned by record
  // Grows by moves only (NodeKey's are noexcept pointer moves).
  std::vector<NodeKey, LargePageAllocator<NodeKey>> nodes_;
  std::vector<NodeId> outputs_;
  // One flag per node id up to the largest mark, so that marking many
  // outputs (a reduced store with a long output list) stays linear.
  std::vector<bool> marked_;
  InternIndex index_;  // ids by key; each key is held once, in nodes_
  bool unindexed_ = false;  // the nodes are not in index_ yet (adopt_distinct_keys)
};

// Text of the internal fault raised by every operation on a poisoned store.
inline constexpr const char* kStorePoisoned = "nodalis-core store mutex poisoned";

}  // namespace nodalis::ir
