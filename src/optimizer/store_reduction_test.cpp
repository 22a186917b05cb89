// Reducing stores into new stores: outputs rules, checks before any work, the
// source store left as it was, and from_reduced's merging and faults.
#include "optimizer/store_reduction.h"

#include <gtest/gtest.h>

#include "base/fault.h"
#include "optimizer/test_graphs.h"
#include "optimizer/testing_engines.h"

namespace nodalis::opt {
namespace {

class CountingEngine final : public RewriteEngine {
 public:
  mutable int calls = 0;
  EngineGraph canonicalize(const EngineGraph& g) const override {
    ++calls;
    return testing::ReferenceEngine().canonicalize(g);
  }
};

// Interns the list; equal nodes merge, so inputs go through the ids so far.
void fill(ir::GraphStore& store, const testing::NodeList& g) {
  std::vector<ir::NodeId> ids, ins;
  for (const ir::NodeKey& k : g.nodes) {
    ins.clear();
    for (ir::NodeId x : k.inputs()) ins.push_back(ids[x]);
    auto id = store.intern(k.with_inputs(ins));
    ASSERT_TRUE(id.ok());
    ids.push_back(id.value());
  }
}

TEST(StoreReduction, WithoutMarksTheResultIsEmpty) {
  ir::GraphStore store;
  fill(store, testing::random_graph(1, 30));
  CountingEngine engine;
  StoreReduction r = reduce_to_new_store(store, std::nullopt, engine, FusionRule::SingleUse).value();
  EXPECT_EQ(r.store->node_count(), 0u);
  EXPECT_EQ(r.report.input_nodes, store.node_count());
  EXPECT_EQ(r.report.reachable_nodes, 0u);
  EXPECT_EQ(engine.calls, 1);
}

TEST(StoreReduction, ExplicitOutputsAreCheckedBeforeAnyWork) {
  ir::GraphStore store;
  fill(store, testing::random_graph(2, 30));
  const uint64_t n = store.node_count();
  CountingEngine engine;
  std::vector<uint64_t> bad{0, n, n + 5};
  auto r = reduce_to_new_store(store, std::span<const uint64_t>(bad), engine, FusionRule::SingleUse);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), ir::BadNodeId{n});
  EXPECT_EQ(engine.calls, 0);

  std::vector<uint64_t> last{n - 1};
  EXPECT_TRUE(reduce_to_new_store(store, std::span<const uint64_t>(last), engine, FusionRule::SingleUse).ok());
  std::vector<uint64_t> none;
  auto empty = reduce_to_new_store(store, std::span<const uint64_t>(none), engine, FusionRule::SingleUse);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().store->node_count(), 0u);
}

TEST(StoreReduction, ExplicitOutputsIgnoreMarksAndKeepOrder) {
  ir::GraphStore store;
  testing::NodeList g;
  uint64_t a = g.src("a"), b = g.src("b");
  uint64_t ab = g.op("mul", {a, b});
  uint64_t ba = g.op("mul", {b, a});
  uint64_t t = g.op("tanh", {a});
  fill(store, g);
  ASSERT_TRUE(store.mark_output(t).ok());
  std::vector<uint64_t> outs{ba, ab, ba};
  auto r = reduce_to_new_store(store, std::span<const uint64_t>(outs), testing::ReferenceEngine(), FusionRule::SingleUse);
  ASSERT_TRUE(r.ok());
  ir::GraphStore& out = *r.value().store;
  EXPECT_EQ(out.node_count(), 3u);
  EXPECT_EQ(out.outputs(), std::vector<uint64_t>{2});  // marks collapse repeats
  EXPECT_EQ(r.value().outputs, (std::vector<uint64_t>{2, 2, 2}));  // requests do not
  EXPECT_EQ(r.value().report.reduced_nodes, 3u);

  std::vector<uint64_t> mixed{t, ab, t};
  auto m = reduce_to_new_store(store, std::span<const uint64_t>(mixed), testing::ReferenceEngine(), FusionRule::SingleUse);
  ASSERT_TRUE(m.ok());
  const std::vector<uint64_t>& ids = m.value().outputs;
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids[0], ids[2]);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(m.value().store->outputs(), (std::vector<uint64_t>{ids[0], ids[1]}));
}

TEST(StoreReduction, SourceStoreIsUnchanged) {
  ir::GraphStore store;
  fill(store, testing::random_graph(3, 50));
  ASSERT_TRUE(store.mark_output(store.node_count() - 1).ok());
  ASSERT_TRUE(store.mark_output(20).ok());
  ir::StoreSnapshot before = store.snapshot();
  StoreReduction r = reduce_to_new_store(store, std::nullopt, testing::ReferenceEngine(), FusionRule::FanOut).value();
  ir::StoreSnapshot after = store.snapshot();
  EXPECT_EQ(after.nodes, before.nodes);
  EXPECT_EQ(after.outputs, before.outputs);
  EXPECT_GT(r.store->node_count(), 0u);
}

TEST(StoreReduction, FromReducedMergesEqualNodes) {
  Reduced red;
  testing::NodeList g;
  g.src("a");
  g.src("a");
  g.op("tanh", {0});
  g.op("tanh", {1});
  red.nodes = g.nodes;
  red.outputs = {2, 3};
  StoreReduction r = from_reduced(red);
  EXPECT_EQ(r.store->node_count(), 2u);
  EXPECT_EQ(r.store->outputs(), std::vector<uint64_t>{1});
  EXPECT_EQ(r.outputs, (std::vector<uint64_t>{1, 1}));
}

TEST(StoreReduction, AFusedStageEqualToAnOpaqueOneMerges) {
  // A reduced store that is added to and reduced again: the op fuses into a
  // stage equal to the one already there.
  ir::GraphStore store;
  testing::NodeList g;
  const uint64_t s = g.src("s");
  const uint64_t neg = g.op("neg", {s});
  fill(store, g);
  std::vector<uint64_t> outs{neg};
  const testing::ReferenceEngine engine;
  Reduced once = reduce_store_nodes(store, std::span<const uint64_t>(outs), engine, FusionRule::SingleUse).value();
  EXPECT_TRUE(once.distinct);
  StoreReduction first = from_reduced(std::move(once));
  ASSERT_EQ(first.store->node_count(), 2u);
  const uint64_t again = first.store->intern(g.nodes[neg]).value();
  std::vector<uint64_t> both{1, again};
  Reduced twice =
      reduce_store_nodes(*first.store, std::span<const uint64_t>(both), engine, FusionRule::SingleUse).value();
  EXPECT_FALSE(twice.distinct);
  StoreReduction second = from_reduced(std::move(twice));
  EXPECT_EQ(second.store->node_count(), 2u);
  EXPECT_EQ(second.outputs, (std::vector<uint64_t>{1, 1}));
}

TEST(StoreReduction, BrokenReducedGraphsAreFaults) {
  testing::NodeList g;
  g.src("a");
  g.op("tanh", {1});  // refers to itself
  Reduced forward;
  forward.nodes = g.nodes;
  try {
    (void)from_reduced(forward);
    FAIL();
  } catch (const InternalFault& f) {
    EXPECT_EQ(std::string(f.what()), "reduced graph references only earlier nodes: BadNodeId(1)");
  }
  Reduced bad_output;
  bad_output.nodes = {g.nodes[0]};
  bad_output.outputs = {1};
  try {
    (void)from_reduced(bad_output);
    FAIL();
  } catch (const InternalFault& f) {
    EXPECT_EQ(std::string(f.what()), "reduced output is valid: BadNodeId(1)");
  }
}

}  // namespace
}  // namespace nodalis::opt
