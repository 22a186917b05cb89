// The interning graph store: hash-consing with inputs checked against the
// current node count, marked outputs, and snapshots that share the immutable
// keys.
#include "ir/graph_store.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>

#include "base/fault.h"
#include "base/le_bytes.h"
#include "ir/store_guard.h"

namespace nodalis::ir {

namespace {
// Index slots hold id + 1 in 32 bits, with 0 meaning empty.
constexpr uint64_t kMaxNodes = 0xFFFFFFFEull;

// Whether every input of `record` is below `limit`. A graph mixes sources,
// one- and two-input nodes at random, and a loop over the inputs would
// mispredict its end on about every other record: up to two inputs are
// checked without a branch (an input that is not there is read from the
// record's first bytes and not looked at).
bool inputs_below(const RecordView& record, uint64_t limit) noexcept {
  auto each_below = [&] {
    for (NodeId id : record.inputs()) {
      if (id >= limit) return false;
    }
    return true;
  };
  if (record.bytes.size() < 8) [[unlikely]] return each_below();
  const char* p = record.bytes.data();
  const bool listed = record.inputs_off != detail::kNone;
  const size_t at = listed ? record.inputs_off : 0;
  const uint32_t count = le::u32(p + at) & (0 - uint32_t{listed});
  if (count > 2) [[unlikely]] return each_below();
  const size_t first = (at + 4) & (0 - size_t{count >= 1});
  const size_t second = (at + 12) & (0 - size_t{count >= 2});
  return ((count < 1) | (le::u64(p + first) < limit)) & ((count < 2) | (le::u64(p + second) < limit));
}
}  // namespace

namespace {
// Starts at 1, so that 0 can stand for "no store".
std::atomic<uint64_t> next_serial{1};
}  // namespace

GraphStore::GraphStore() : serial_(next_serial.fetch_add(1, std::memory_order_relaxed)) {}

static_assert(std::is_nothrow_move_constructible_v<NodeKey>, "node list growth must not copy keys");

// Shared by every intern path, with the lock held: `make_key` yields the key
// to store and runs only for a new node.
template <class MakeKey>
Result<NodeId, BadNodeId> GraphStore::intern_held(const RecordView& record, uint64_t hash, MakeKey&& make_key) {
  const uint64_t n = nodes_.size();
  for (NodeId id : record.inputs()) {
    if (id >= n) return Err{BadNodeId{id}};
  }
  index_adopted();
  InternIndex::Miss miss;
  const uint64_t found = index_.find(record, hash, nodes_.data(), miss);
  if (found != InternIndex::kNotFound) return found;
  if (n >= kMaxNodes) throw CapacityError("store full: node count must stay below 2^32 - 1");
  // Take all memory first so that a failed allocation leaves the store as
  // it was; after these three steps nothing below can throw.
  NodeKey key = make_key();
  if (nodes_.size() == nodes_.capacity()) nodes_.reserve(std::max<size_t>(16, nodes_.capacity() * 2));
  index_.reserve_one();
  nodes_.push_back(std::move(key));
  index_.insert(n, hash, miss);
  return n;
}

template <class MakeKey>
Result<NodeId, BadNodeId> GraphStore::intern_locked(const RecordView& record, uint64_t hash, MakeKey&& make_key) {
  index_.prefetch(hash);
  Guard guard(*this);
  return guard.run([&] { return intern_held(record, hash, make_key); });
}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  // The seed never changes, so the hash is taken before the lock.
  const RecordView record = key.view();
  const uint64_t h = record_hash(record, index_.seed());
  return intern_locked(record, h, [&] { return std::move(key); });
}

Result<NodeId, BadNodeId> GraphStore::intern_record(const RecordView& record) {
  const uint64_t h = record_hash(record, index_.seed());
  return intern_locked(record, h, [&] {
    // The arena's pointer bump and the copy inline: this runs for every node
    // built from Python.
    uint8_t block_log2 = 0;
    void* at = record.bytes.size() <= 0xFFFFFFFFull
                   ? arena_.allocate(NodeKey::arena_bytes(record.bytes.size()), block_log2)
                   : nullptr;
    if (at == nullptr) [[unlikely]] return NodeKey::from_record(record);
    return NodeKey::place(record, static_cast<char*>(at), block_log2);
  });
}

Result<size_t, BadNodeId> GraphStore::intern_records(std::span<const RecordView> records, std::span<NodeId> ids) {
  // Hashes run this many records ahead of the lookups, so that the table's
  // cache misses overlap instead of adding up.
  constexpr size_t kAhead = 16;
  const uint64_t seed = index_.seed();
  const size_t count = std::min(records.size(), ids.size());
  uint64_t hashes[kAhead];
  for (size_t j = 0; j < std::min(count, kAhead); ++j) hashes[j] = record_hash(records[j], seed);
  Guard guard(*this);
  return guard.run([&]() -> Result<size_t, BadNodeId> {
    // Room for every record first, so that the loop below takes no memory but
    // the keys' and a slot noted by a failed lookup stays valid for the insert.
    index_adopted();
    const uint64_t first = nodes_.size();
    if (first + count > nodes_.capacity()) nodes_.reserve(std::max<size_t>(first + count, 2 * nodes_.capacity()));
    index_.reserve(first + count);
    for (size_t j = 0; j < std::min(count, kAhead); ++j) index_.prefetch_home(hashes[j]);
    for (size_t j = 0; j < count; ++j) {
      const uint64_t h = hashes[j % kAhead];
      if (j + kAhead < count) {
        hashes[j % kAhead] = record_hash(records[j + kAhead], seed);
        index_.prefetch_home(hashes[j % kAhead]);
      }
      const RecordView& record = records[j];
      const uint64_t n = nodes_.size();
      for (NodeId id : record.inputs()) {
        if (id >= n) return Err{BadNodeId{id}};
      }
      InternIndex::Miss miss;
      const uint64_t found = index_.find(record, h, nodes_.data(), miss);
      if (found != InternIndex::kNotFound) {
        ids[j] = found;
        return j + 1;  // merged with an earlier node
      }
      if (n >= kMaxNodes) throw CapacityError("store full: node count must stay below 2^32 - 1");
      nodes_.push_back(NodeKey::from_record(record, &arena_));  // within the capacity reserved above
      index_.insert(n, h, miss);
      ids[j] = n;
    }
    return count;
  });
}

bool GraphStore::fill(RecordRuns& runs) {
  constexpr size_t kRun = 256;
  Guard guard(*this);
  return guard.run([&] {
    if (!nodes_.empty()) throw InternalFault("GraphStore::fill needs an empty store");
    const uint64_t seed = index_.seed();
    index_.begin_appends();
    // Written by the runs before it is read, so left as it is: clearing its
    // 8 KiB would cost a small graph more than its records do.
    alignas(RecordView) std::byte storage[kRun * sizeof(RecordView)];
    const std::span<RecordView> room(std::launder(reinterpret_cast<RecordView*>(storage)), kRun);
    try {
      for (size_t count; (count = runs.next(room)) > 0;) {
        const uint64_t first = nodes_.size();
        if (first + count > kMaxNodes) throw CapacityError("store full: node count must stay below 2^32 - 1");
        if (first + count > nodes_.capacity()) nodes_.reserve(std::max<size_t>(first + count, 2 * nodes_.capacity()));
        index_.reserve_hashes(first + count);
        // The run's keys side by side in one arena block, where they fit.
        size_t bytes = 0;
        for (size_t j = 0; j < count; ++j) bytes += NodeKey::arena_bytes(room[j].bytes.size());
        uint8_t block_log2 = 0;
        char* at = static_cast<char*>(arena_.allocate_run(bytes, count, block_log2));
        // One pass per record, so that writing the keys overlaps the work.
        for (size_t j = 0; j < count; ++j) {
          const RecordView& record = room[j];
          if (!inputs_below(record, first + j)) [[unlikely]] {
            if (at != nullptr) arena_.give_back(count - j);
            throw InternalFault("GraphStore::fill: an input names no earlier record");
          }
          // Within the capacity reserved above.
          if (at != nullptr) {
            nodes_.push_back(NodeKey::place(record, at, block_log2));
            at += NodeKey::arena_bytes(record.bytes.size());
          } else {
            nodes_.push_back(NodeKey::from_record(record, &arena_));
          }
          index_.append(record_hash(record, seed));
        }
      }
      if (index_.place_appended(nodes_.data())) return true;
    } catch (...) {
      clear_locked();
      throw;
    }
    clear_locked();
    return false;
  });
}

std::optional<BadNodeId> GraphStore::take_keys_locked(std::span<NodeKey> keys, const char* caller) {
  if (!nodes_.empty()) throw InternalFault(std::string("GraphStore::") + caller + " needs an empty store");
  if (keys.size() > kMaxNodes) throw CapacityError("store full: node count must stay below 2^32 - 1");
  // Every input is checked before any key is taken, so a refused list
  // stays with the caller untouched.
  for (size_t i = 0; i < keys.size(); ++i) {
    for (NodeId id : keys[i].inputs()) {
      if (id >= i) return BadNodeId{id};
    }
  }
  nodes_.reserve(keys.size());
  for (NodeKey& key : keys) nodes_.push_back(std::move(key));  // within the capacity reserved above
  return std::nullopt;
}

bool GraphStore::place_all_locked() {
  // Placed as fill places a graph: hashed in order, then put into the table
  // all at once.
  const uint64_t seed = index_.seed();
  index_.reserve_hashes(nodes_.size());
  index_.begin_appends();
  for (const NodeKey& key : nodes_) index_.append(record_hash(key.view(), seed));
  return index_.place_appended(nodes_.data());
}

Result<bool, BadNodeId> GraphStore::fill_from_keys(std::span<NodeKey> keys) {
  Guard guard(*this);
  return guard.run([&]() -> Result<bool, BadNodeId> {
    if (std::optional<BadNodeId> bad = take_keys_locked(keys, "fill_from_keys")) return Err{*bad};
    // A refused list goes back to the caller as it came.
    auto give_back = [&]() noexcept {
      for (size_t i = 0; i < nodes_.size(); ++i) keys[i] = std::move(nodes_[i]);
      clear_locked();
    };
    bool placed = false;
    try {
      placed = place_all_locked();
    } catch (...) {
      give_back();
      throw;
    }
    if (!placed) give_back();
    return placed;
  });
}

Result<Unit, BadNodeId> GraphStore::adopt_distinct_keys(std::span<NodeKey> keys) {
  Guard guard(*this);
  return guard.run([&]() -> Result<Unit, BadNodeId> {
    if (std::optional<BadNodeId> bad = take_keys_locked(keys, "adopt_distinct_keys")) return Err{*bad};
    unindexed_ = !nodes_.empty();
    return Unit{};
  });
}

void GraphStore::index_adopted_now() {
  // A failed allocation leaves the table empty and the nodes waiting, for
  // the next lookup to try again.
  bool placed = false;
  try {
    placed = place_all_locked();
  } catch (...) {
    index_.clear();
    throw;
  }
  if (!placed) {
    index_.clear();
    throw InternalFault("store adopted two equal nodes as distinct");
  }
  unindexed_ = false;
}

void GraphStore::clear_locked() noexcept {
  index_.clear();
  nodes_.clear();
  unindexed_ = false;
}

void GraphStore::reserve(uint64_t nodes) {
  const uint64_t capped = std::min(nodes, kMaxNodes);
  Guard guard(*this);
  guard.run([&] {
    if (capped > nodes_.capacity()) nodes_.reserve(static_cast<size_t>(capped));
    index_.reserve(capped);
  });
}

Result<Unit, BadNodeId> GraphStore::mark_output(NodeId id) {
  Guard guard(*this);
  return guard.run([&]() -> Result<Unit, BadNodeId> {
    if (id >= nodes_.size()) return Err{BadNodeId{id}};
    if (id < marked_.size() && marked_[id]) return Unit{};
    // Grow both first so that a failed allocation changes nothing.
    if (id >= marked_.size()) marked_.resize(std::max<size_t>(id + 1, marked_.size() * 2));
    if (outputs_.size() == outputs_.capacity()) outputs_.reserve(std::max<size_t>(8, outputs_.capacity() * 2));
    outputs_.push_back(id);
    marked_[id] = true;
    return Unit{};
  });
}

Result<Unit, BadNodeId> GraphStore::mark_outputs(std::span<const NodeId> ids) {
  Guard guard(*this);
  return guard.run([&]() -> Result<Unit, BadNodeId> {
    NodeId top = 0;
    for (NodeId id : ids) {
      if (id >= nodes_.size()) return Err{BadNodeId{id}};
      top = std::max(top, id);
    }
    if (ids.empty()) return Unit{};
    // Grow both first so that a failed allocation changes nothing.
    if (top >= marked_.size()) marked_.resize(std::max<size_t>(top + 1, marked_.size() * 2));
    const size_t room = outputs_.size() + ids.size();
    if (room > outputs_.capacity()) outputs_.reserve(std::max(room, 2 * outputs_.capacity()));
    // Within the room taken above: the ids go in through a pointer, with no
    // capacity test per id.
    size_t count = outputs_.size();
    outputs_.resize(room);
    NodeId* const out = outputs_.data();
    for (NodeId id : ids) {
      if (marked_[id]) continue;
      out[count++] = id;
      marked_[id] = true;
    }
    outputs_.resize(count);
    return Unit{};
  });
}

std::vector<NodeId> GraphStore::outputs() const {
  Guard guard(*this);
  return guard.run([&] { return outputs_; });
}

uint64_t GraphStore::node_count() const {
  Guard guard(*this);
  return nodes_.size();
}

StoreSnapshot GraphStore::snapshot() const {
  Guard guard(*this);
  return guard.run([&] { return StoreSnapshot{{nodes_.begin(), nodes_.end()}, outputs_}; });
}

GraphStore::Borrowed GraphStore::borrow() const {
  Borrowed out;
  Guard guard(*this);
  guard.run([&] {
    out.outputs_ = outputs_;
    const size_t n = nodes_.size();
    // Made in place from the bare records, in one pass: no zero-fill first.
    out.nodes_.reset(static_cast<NodeKey*>(::operator new(std::max<size_t>(n, 1) * sizeof(NodeKey))));
    for (size_t i = 0; i < n; ++i) ::new (&out.nodes_[i]) NodeKey(nodes_[i].rep_);  // no count taken
    out.count_ = n;
  });
  return out;
}

std::string GraphStore::read(std::string (*render)(const StoreView&)) const {
  Guard guard(*this);
  return guard.run([&] { return render(StoreView{{nodes_.data(), nodes_.size()}, outputs_}); });
}

std::vector<NodeKey> GraphStore::snapshot_from(uint64_t start) const {
  Guard guard(*this);
  return guard.run([&] {
    const auto begin = nodes_.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(start, nodes_.size()));
    return std::vector<NodeKey>(begin, nodes_.end());
  });
}

std::vector<NodeKey> GraphStore::nodes() const {
  Guard guard(*this);
  return guard.run([&] { return std::vector<NodeKey>(nodes_.begin(), nodes_.end()); });
}

}  // namespace nodalis::ir
