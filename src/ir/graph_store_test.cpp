// The interning store: hash-consing, input checks, marks, snapshots,
// concurrent interning and poisoning.
#include "ir/dot.h"
#include "ir/graph_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <thread>

#include "ir/node_record.h"
#include "ir/store_guard.h"

namespace nodalis::ir {

// Runs a throwing operation under the store's lock, as an internal fault in
// a store operation would.
struct GraphStoreFaultInjection {
  template <class Work>
  static void run_locked(GraphStore& store, Work&& work) {
    GraphStore::Guard guard(store);
    guard.run(std::forward<Work>(work));
  }
};

namespace {

using Ids = std::vector<NodeId>;

ParamMap pm(std::vector<std::pair<std::string, ParamValue>> e) { return ParamMap::make(std::move(e)); }

NodeId must(Result<NodeId, BadNodeId> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : ~NodeId{0};
}

TEST(GraphStore, FreshStoreIsEmpty) {
  GraphStore store;
  EXPECT_EQ(store.node_count(), 0u);
  EXPECT_TRUE(store.outputs().empty());
  EXPECT_TRUE(store.snapshot().nodes.empty());
  EXPECT_EQ(must(store.intern(NodeKey::source("x", ParamMapView()))), 0u);
}

TEST(GraphStore, InterningDeduplicates) {
  GraphStore store;
  const NodeId x = must(store.intern(
      NodeKey::source("x", pm({{"a", ParamValue::Int(1)}, {"b", ParamValue::Str("s")}}).view())));
  const NodeId again = must(store.intern(
      NodeKey::source("x", pm({{"b", ParamValue::Str("s")}, {"a", ParamValue::Int(1)}}).view())));
  EXPECT_EQ(x, again);
  EXPECT_EQ(store.node_count(), 1u);
  const NodeId y = must(store.intern(NodeKey::source("y", ParamMapView())));
  EXPECT_EQ(y, 1u);
  const NodeId add = must(store.intern(NodeKey::op("add", ParamMapView(), Ids{x, y})));
  EXPECT_EQ(must(store.intern(NodeKey::op("add", ParamMapView(), Ids{y, x}))), 3u);
  EXPECT_EQ(must(store.intern(NodeKey::op("add", ParamMapView(), Ids{x, y}))), add);
  EXPECT_EQ(store.node_count(), 4u);
}

TEST(GraphStore, NaNParamsInternOnce) {
  GraphStore store;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const NodeId a = must(store.intern(NodeKey::source("x", pm({{"v", ParamValue::Float(nan)}}).view())));
  const NodeId b = must(store.intern(NodeKey::source("x", pm({{"v", ParamValue::Float(-nan)}}).view())));
  EXPECT_EQ(a, b);
  const NodeId z = must(store.intern(NodeKey::source("x", pm({{"v", ParamValue::Float(0.0)}}).view())));
  const NodeId nz = must(store.intern(NodeKey::source("x", pm({{"v", ParamValue::Float(-0.0)}}).view())));
  EXPECT_NE(z, nz);
  EXPECT_EQ(store.node_count(), 3u);
}

TEST(GraphStore, FillsFromKeysOnlyWhenAllDistinctAndInOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const NodeKey a = NodeKey::source("a", ParamMapView());
  const NodeKey tanh = NodeKey::op("tanh", ParamMapView(), Ids{0});
  const ParamMap p1 = pm({{"v", ParamValue::Float(nan)}}), p2 = pm({{"v", ParamValue::Float(-nan)}});
  GraphStore store;
  // Equal keys (NaN payloads included) or a forward input: refused, the
  // store left empty and the keys given back as they were.
  std::vector<NodeKey> equal = {a, NodeKey::source("x", p1.view()), NodeKey::source("x", p2.view())};
  const std::vector<NodeKey> equal_before = equal;
  const auto merged = store.fill_from_keys(equal);
  ASSERT_TRUE(merged.ok());
  EXPECT_FALSE(merged.value());
  EXPECT_EQ(store.node_count(), 0u);
  EXPECT_EQ(equal, equal_before);
  std::vector<NodeKey> forward = {a, NodeKey::op("tanh", ParamMapView(), Ids{1})};
  const auto bad = store.fill_from_keys(forward);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), BadNodeId{1});
  EXPECT_EQ(store.node_count(), 0u);
  EXPECT_TRUE(forward[0].valid() && forward[1].valid());
  // Distinct keys become nodes 0, 1, ... holding the very same records, and
  // the table finds them.
  std::vector<NodeKey> keys = {a, tanh, NodeKey::source("b", ParamMapView())};
  std::vector<const char*> records;
  for (const NodeKey& k : keys) records.push_back(k.record().data());
  const auto filled = store.fill_from_keys(keys);
  ASSERT_TRUE(filled.ok());
  EXPECT_TRUE(filled.value());
  const StoreSnapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), 3u);
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(snap.nodes[i].record().data(), records[i]);
  EXPECT_EQ(must(store.intern(NodeKey::op("tanh", ParamMapView(), Ids{0}))), 1u);
  EXPECT_EQ(must(store.intern(NodeKey::source("c", ParamMapView()))), 3u);
}

TEST(GraphStore, AdoptedKeysAreIndexedByTheFirstLookup) {
  // Enough keys for the table to be placed in regions, sources and ops mixed.
  std::vector<NodeKey> keys;
  for (NodeId i = 0; i < 5000; ++i) {
    keys.push_back(i % 3 == 0 ? NodeKey::source("s" + std::to_string(i), ParamMapView())
                              : NodeKey::op("neg", ParamMapView(), Ids{i - 1}));
  }
  const std::vector<NodeKey> copies = keys;
  // A forward input is refused before any key is taken.
  std::vector<NodeKey> forward = {keys[0], NodeKey::op("tanh", ParamMapView(), Ids{1})};
  GraphStore store;
  const auto bad = store.adopt_distinct_keys(forward);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), BadNodeId{1});
  EXPECT_EQ(store.node_count(), 0u);
  EXPECT_TRUE(forward[0].valid() && forward[1].valid());

  ASSERT_TRUE(store.adopt_distinct_keys(keys).ok());
  EXPECT_EQ(store.node_count(), copies.size());
  for (NodeId i = 0; i < copies.size(); i += 7) EXPECT_EQ(must(store.intern(copies[i])), i);
  EXPECT_EQ(must(store.intern(NodeKey::source("new", ParamMapView()))), copies.size());
  // The batch path looks up too.
  std::vector<NodeKey> more = copies;
  GraphStore batch;
  ASSERT_TRUE(batch.adopt_distinct_keys(more).ok());
  const NodeKey fresh = NodeKey::source("new", ParamMapView());
  const RecordView views[] = {copies[4].view(), fresh.view()};
  NodeId ids[2] = {};
  const auto taken = batch.intern_records(views, ids);
  ASSERT_TRUE(taken.ok());
  EXPECT_EQ(taken.value(), 1u);
  EXPECT_EQ(ids[0], 4u);
}

TEST(GraphStore, AdoptedEqualKeysAreAFaultWhenFirstLookedUp) {
  std::vector<NodeKey> equal = {NodeKey::source("a", ParamMapView()), NodeKey::source("b", ParamMapView()),
                                NodeKey::source("a", ParamMapView())};
  GraphStore store;
  ASSERT_TRUE(store.adopt_distinct_keys(equal).ok());
  try {
    (void)store.intern(NodeKey::source("c", ParamMapView()));
    ADD_FAILURE() << "equal adopted keys went unnoticed";
  } catch (const InternalFault& f) {
    EXPECT_EQ(std::string(f.what()), "store adopted two equal nodes as distinct");
  }
  EXPECT_THROW((void)store.node_count(), InternalFault);  // poisoned
}

TEST(GraphStore, RejectsInputsNotYetInTheStore) {
  GraphStore store;
  must(store.intern(NodeKey::source("x", ParamMapView())));
  must(store.intern(NodeKey::source("y", ParamMapView())));
  const struct {
    Ids inputs;
    NodeId bad;
  } cases[] = {{{2}, 2}, {{0, 5, 3}, 5}, {{1, 3, 9}, 3}, {{~NodeId{0}}, ~NodeId{0}}};
  for (const auto& c : cases) {
    const auto r = store.intern(NodeKey::op("add", ParamMapView(), c.inputs));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), BadNodeId{c.bad});
  }
  EXPECT_EQ(store.node_count(), 2u);
  EXPECT_EQ(BadNodeId{7}.debug(), "BadNodeId(7)");
}

TEST(GraphStore, MarksOutputsOnceInMarkOrder) {
  GraphStore store;
  for (const char* name : {"a", "b", "c"}) must(store.intern(NodeKey::source(name, ParamMapView())));
  EXPECT_TRUE(store.mark_output(2).ok());
  EXPECT_TRUE(store.mark_output(0).ok());
  EXPECT_TRUE(store.mark_output(2).ok());
  const auto bad = store.mark_output(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 3u);
  EXPECT_EQ(store.outputs(), (Ids{2, 0}));
  EXPECT_EQ(store.snapshot().outputs, (Ids{2, 0}));
  // Many at once: the same order and once each; a bad id anywhere marks none.
  const auto bad_many = store.mark_outputs(Ids{1, 9, 1});
  ASSERT_FALSE(bad_many.ok());
  EXPECT_EQ(bad_many.error().id, 9u);
  EXPECT_EQ(store.outputs(), (Ids{2, 0}));
  EXPECT_TRUE(store.mark_outputs(Ids{1, 0, 1, 2}).ok());
  EXPECT_EQ(store.outputs(), (Ids{2, 0, 1}));
}

TEST(GraphStore, Snapshots) {
  GraphStore store;
  for (const char* name : {"a", "b", "c"}) must(store.intern(NodeKey::source(name, ParamMapView())));
  const auto tail = store.snapshot_from(1);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0].name(), "b");
  EXPECT_EQ(tail[1].name(), "c");
  EXPECT_TRUE(store.snapshot_from(3).empty());
  EXPECT_TRUE(store.snapshot_from(1000).empty());
  EXPECT_TRUE(store.snapshot_from(~uint64_t{0}).empty());
  EXPECT_EQ(store.snapshot_from(0).size(), 3u);
  const auto all = store.nodes();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name(), "a");
  // A snapshot is unaffected by later growth.
  must(store.intern(NodeKey::source("d", ParamMapView())));
  EXPECT_EQ(all.size(), 3u);
  EXPECT_EQ(store.snapshot().nodes.size(), 4u);
  // So is a borrowed one, through the node list's regrowth; a key copied
  // out of it is an ordinary key that outlives it (ASan checks the counts).
  NodeKey kept;
  {
    ASSERT_TRUE(store.mark_output(1).ok());
    const GraphStore::Borrowed lent = store.borrow();
    for (int i = 0; i < 100; ++i) must(store.intern(NodeKey::source("e" + std::to_string(i), ParamMapView())));
    ASSERT_EQ(lent.nodes().size(), 4u);
    EXPECT_EQ(lent.nodes()[3].name(), "d");
    EXPECT_EQ(lent.outputs().size(), 1u);
    kept = lent.nodes()[3];
  }
  EXPECT_EQ(kept.name(), "d");
  EXPECT_EQ(store.snapshot().nodes[3], kept);
}

TEST(GraphStore, GrowsPastManyTableResizes) {
  GraphStore store;
  constexpr int kNodes = 5000;
  for (int i = 0; i < kNodes; ++i) {
    const auto params = pm({{"i", ParamValue::Int(i)}});
    ASSERT_EQ(must(store.intern(NodeKey::source("s", params.view()))), static_cast<NodeId>(i));
  }
  for (int i = kNodes - 1; i >= 0; --i) {
    const auto params = pm({{"i", ParamValue::Int(i)}});
    ASSERT_EQ(must(store.intern(NodeKey::source("s", params.view()))), static_cast<NodeId>(i));
  }
  EXPECT_EQ(store.node_count(), static_cast<uint64_t>(kNodes));
}

TEST(GraphStore, ConcurrentInterningLosesAndDuplicatesNothing) {
  GraphStore store;
  const NodeId root = must(store.intern(NodeKey::source("root", ParamMapView())));
  constexpr int kThreads = 4, kPerThread = 2000, kShared = 500;
  std::vector<std::vector<std::pair<std::string, NodeId>>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Every thread adds the same kShared ops and its own private ones.
        const std::string name = i < kShared ? "shared" + std::to_string(i)
                                             : "t" + std::to_string(t) + "_" + std::to_string(i);
        // Half the threads intern records (keys in the store's blocks).
        NodeRecord record;
        record.op(name, {ParamMapView(), false}, Ids{root});
        const auto r = t % 2 == 1 ? store.intern_record(record.view())
                                  : store.intern(NodeKey::op(name, ParamMapView(), Ids{root}));
        if (r.ok()) seen[t].emplace_back(name, r.value());
      }
    });
  }
  for (auto& th : threads) th.join();
  const uint64_t expected = 1 + kShared + static_cast<uint64_t>(kThreads) * (kPerThread - kShared);
  EXPECT_EQ(store.node_count(), expected);
  const auto nodes = store.nodes();
  std::set<NodeId> ids;
  for (const auto& per_thread : seen) {
    ASSERT_EQ(per_thread.size(), static_cast<size_t>(kPerThread));
    for (const auto& [name, id] : per_thread) {
      ASSERT_LT(id, nodes.size());
      EXPECT_EQ(nodes[id].name(), name);
      ids.insert(id);
    }
  }
  EXPECT_EQ(ids.size(), expected - 1);
}

TEST(GraphStore, FaultUnderTheLockPoisonsForGood) {
  GraphStore store;
  must(store.intern(NodeKey::source("x", ParamMapView())));
  EXPECT_THROW(GraphStoreFaultInjection::run_locked(store, [] { throw InternalFault("boom"); }), InternalFault);
  auto expect_poisoned = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "a poisoned store answered";
    } catch (const InternalFault& f) {
      EXPECT_EQ(std::string(f.what()).rfind(kStorePoisoned, 0), 0u) << f.what();
    }
  };
  expect_poisoned([&] { (void)store.node_count(); });
  expect_poisoned([&] { (void)store.intern(NodeKey::source("y", ParamMapView())); });
  expect_poisoned([&] { (void)store.mark_output(0); });
  expect_poisoned([&] { (void)store.outputs(); });
  expect_poisoned([&] { (void)store.snapshot(); });
  expect_poisoned([&] { (void)store.snapshot_from(0); });
  expect_poisoned([&] { (void)store.nodes(); });
  expect_poisoned([&] { (void)store.read(to_dot); });
  std::thread other([&] { expect_poisoned([&] { (void)store.node_count(); }); });
  other.join();
}

TEST(GraphStore, ResourceFailuresDoNotPoison) {
  GraphStore store;
  EXPECT_THROW(GraphStoreFaultInjection::run_locked(store, [] { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_THROW(GraphStoreFaultInjection::run_locked(store, [] { throw CapacityError("big"); }), CapacityError);
  EXPECT_EQ(must(store.intern(NodeKey::source("x", ParamMapView()))), 0u);
}

}  // namespace
}  // namespace nodalis::ir
