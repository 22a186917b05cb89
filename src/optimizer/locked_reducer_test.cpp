// The locked reducer: outputs settled before the reducer is touched, poisoning,
// and threads stepping one reducer while others build the store.
#include "optimizer/locked_reducer.h"

#include <gtest/gtest.h>

#include <thread>

#include "optimizer/saturation_engine.h"
#include "optimizer/test_eval.h"
#include "optimizer/test_graphs.h"

namespace nodalis::opt {
namespace {

void fill(ir::GraphStore& store, const testing::NodeList& g) {
  std::vector<ir::NodeId> ids, ins;
  for (const ir::NodeKey& k : g.nodes) {
    ins.clear();
    for (ir::NodeId x : k.inputs()) ins.push_back(ids[x]);
    ids.push_back(store.intern(k.with_inputs(ins)).value());
  }
}

TEST(LockedReducer, FinalizeWithoutStepConsumesTheStoreAndMatchesReduce) {
  ir::GraphStore store;
  fill(store, testing::random_graph(9, 120));
  const uint64_t n = store.node_count();
  ASSERT_TRUE(store.mark_output(n - 1).ok());
  ASSERT_TRUE(store.mark_output(n / 2).ok());
  LockedReducer reducer;
  SaturationEngine engine;
  auto fin = reducer.finalize(store, std::nullopt, engine, FusionRule::SingleUse);
  ASSERT_TRUE(fin.ok());
  EXPECT_EQ(reducer.watermark(), n);
  EXPECT_EQ(reducer.total_work(), n);
  EXPECT_EQ(fin.value().report.input_nodes, reducer.canonical_count());

  StoreReduction full = reduce_to_new_store(store, std::nullopt, engine, FusionRule::SingleUse).value();
  EXPECT_EQ(fin.value().report.canonical_nodes, full.report.canonical_nodes);
  auto values = [](const ir::GraphStore& s) {
    ir::StoreSnapshot snap = s.snapshot();
    return testing::output_values(snap.nodes, snap.outputs);
  };
  EXPECT_EQ(values(*fin.value().store), values(*full.store));
  EXPECT_EQ(values(*full.store), values(store));
}

TEST(LockedReducer, BadOutputsAreRefusedBeforeTheReducerIsTouched) {
  ir::GraphStore store;
  fill(store, testing::random_graph(2, 20));
  LockedReducer reducer;
  std::vector<uint64_t> outs{0, store.node_count()};
  auto fin = reducer.finalize(store, std::span<const uint64_t>(outs), SaturationEngine(), FusionRule::SingleUse);
  ASSERT_FALSE(fin.ok());
  EXPECT_EQ(fin.error(), Refusal(ir::BadNodeId{store.node_count()}));
  EXPECT_EQ(reducer.watermark(), 0u);
}

TEST(LockedReducer, ExplicitOutputsIgnoreMarks) {
  ir::GraphStore store;
  fill(store, testing::random_graph(4, 40));
  ASSERT_TRUE(store.mark_output(0).ok());
  LockedReducer reducer;
  std::vector<uint64_t> none;
  auto fin = reducer.finalize(store, std::span<const uint64_t>(none), SaturationEngine(), FusionRule::SingleUse);
  ASSERT_TRUE(fin.ok());
  EXPECT_EQ(fin.value().store->node_count(), 0u);
}

TEST(LockedReducer, AFaultPoisonsForGoodButRunningOutOfMemoryDoesNot) {
  LockedReducer reducer;
  EXPECT_THROW(reducer.with_lock([](IncrementalReducer&) -> int { throw std::bad_alloc(); }),
               std::bad_alloc);
  EXPECT_EQ(reducer.watermark(), 0u);
  EXPECT_THROW(reducer.with_lock([](IncrementalReducer&) -> int { throw InternalFault("boom"); }),
               InternalFault);
  for (int k = 0; k < 2; ++k) {
    try {
      (void)reducer.total_work();
      FAIL();
    } catch (const InternalFault& f) {
      EXPECT_EQ(std::string(f.what()).rfind("incremental reducer poisoned", 0), 0u);
    }
  }
  ir::GraphStore store;
  EXPECT_THROW((void)reducer.step(store), InternalFault);
}

TEST(LockedReducer, StepsFromManyThreadsConsumeEveryNodeOnce) {
  ir::GraphStore store;
  LockedReducer reducer;
  testing::NodeList g = testing::random_graph(13, 3000);
  std::atomic<bool> done{false};
  std::thread builder([&] {
    fill(store, g);
    done = true;
  });
  std::vector<std::thread> steppers;
  for (int t = 0; t < 3; ++t)
    steppers.emplace_back([&] {
      while (!done) ASSERT_TRUE(reducer.step(store).ok());
    });
  builder.join();
  for (auto& t : steppers) t.join();
  ASSERT_TRUE(reducer.step(store).ok());
  EXPECT_EQ(reducer.watermark(), store.node_count());
  EXPECT_EQ(reducer.total_work(), store.node_count());
}

}  // namespace
}  // namespace nodalis::opt
