// Stage fusion under both rules, on graphs written out node by node.
#include "optimizer/stage_fusion.h"

#include <gtest/gtest.h>

#include "optimizer/reduction_pipeline.h"
#include "optimizer/test_graphs.h"

namespace nodalis::opt {
namespace {

using ir::StageRef;
using testing::member;
using testing::NodeList;

// Fuses the list as it is: every node live, no engine in between, so tests can
// also hold nodes that nothing uses.
FusedGraph fuse(const NodeList& g, std::vector<uint64_t> outputs, FusionRule fusion) {
  LiveNodes live;
  for (uint64_t i = 0; i < g.nodes.size(); ++i) {
    live.remap.push_back(i);
    live.kept.push_back(i);
  }
  live.outputs = std::move(outputs);
  TokenTable tokens(0);
  EngineGraph graph = to_engine_graph(g.nodes, live, tokens);
  return stage_fusion(graph, tokens, fusion);
}

ir::NodeKey stage(std::vector<ir::NodeId> ins, std::vector<ir::StageOp> members) {
  return ir::NodeKey::stage(ins, members);
}

TEST(StageFusion, ChainOfSingleUseOpsIsOneStageUnderBothRules) {
  NodeList g;
  uint64_t s = g.src("s");
  uint64_t a = g.op("neg", {s});
  uint64_t b = g.op("exp", {a});
  uint64_t c = g.op("tanh", {b});
  for (FusionRule fusion : {FusionRule::SingleUse, FusionRule::FanOut}) {
    FusedGraph f = fuse(g, {c}, fusion);
    ASSERT_EQ(f.nodes.size(), 2u);
    EXPECT_EQ(f.nodes[1], stage({0}, {member("op|neg", {StageRef::input(0)}),
                                      member("op|exp", {StageRef::member(0)}),
                                      member("op|tanh", {StageRef::member(1)})}));
    EXPECT_EQ(f.outputs, std::vector<uint64_t>{1});
    EXPECT_EQ(f.stages, 1u);
    EXPECT_EQ(f.boundary_nodes, 1u);
  }
}

TEST(StageFusion, AnOutputIsNeverAbsorbed) {
  NodeList g;
  uint64_t s = g.src("s");
  uint64_t a = g.op("neg", {s});
  uint64_t b = g.op("exp", {a});
  for (FusionRule fusion : {FusionRule::SingleUse, FusionRule::FanOut}) {
    FusedGraph f = fuse(g, {b, a}, fusion);
    ASSERT_EQ(f.nodes.size(), 3u);
    EXPECT_EQ(f.nodes[1], stage({0}, {member("op|neg", {StageRef::input(0)})}));
    EXPECT_EQ(f.nodes[2], stage({1}, {member("op|exp", {StageRef::input(0)})}));
    EXPECT_EQ(f.outputs, (std::vector<uint64_t>{2, 1}));
  }
}

TEST(StageFusion, FanOutFusesOnlyUnderTheFanOutRule) {
  NodeList g;
  uint64_t s = g.src("s");
  uint64_t x = g.op("neg", {s});
  uint64_t y = g.op("exp", {x});
  uint64_t z = g.op("tanh", {x});
  uint64_t w = g.op("sub", {y, z});

  FusedGraph single = fuse(g, {w}, FusionRule::SingleUse);
  ASSERT_EQ(single.nodes.size(), 3u);
  EXPECT_EQ(single.nodes[1], stage({0}, {member("op|neg", {StageRef::input(0)})}));
  EXPECT_EQ(single.nodes[2], stage({1}, {member("op|exp", {StageRef::input(0)}),
                                         member("op|tanh", {StageRef::input(0)}),
                                         member("op|sub", {StageRef::member(0), StageRef::member(1)})}));
  EXPECT_EQ(single.stages, 2u);

  FusedGraph fan = fuse(g, {w}, FusionRule::FanOut);
  ASSERT_EQ(fan.nodes.size(), 2u);
  EXPECT_EQ(fan.nodes[1], stage({0}, {member("op|neg", {StageRef::input(0)}),
                                      member("op|exp", {StageRef::member(0)}),
                                      member("op|tanh", {StageRef::member(0)}),
                                      member("op|sub", {StageRef::member(1), StageRef::member(2)})}));
  EXPECT_EQ(fan.stages, 1u);
}

TEST(StageFusion, TwoUsesByOneConsumerAreTwoUses) {
  NodeList g;
  uint64_t s = g.src("s");
  uint64_t x = g.op("neg", {s});
  uint64_t w = g.op("sub", {x, x});
  FusedGraph single = fuse(g, {w}, FusionRule::SingleUse);
  EXPECT_EQ(single.stages, 2u);
  EXPECT_EQ(single.nodes[2], stage({1}, {member("op|sub", {StageRef::input(0), StageRef::input(0)})}));
  FusedGraph fan = fuse(g, {w}, FusionRule::FanOut);
  EXPECT_EQ(fan.stages, 1u);
  EXPECT_EQ(fan.nodes[1], stage({0}, {member("op|neg", {StageRef::input(0)}),
                                      member("op|sub", {StageRef::member(0), StageRef::member(0)})}));
}

TEST(StageFusion, NonOpConsumersCloseAGroup) {
  NodeList g;
  uint64_t s = g.src("s");
  uint64_t a = g.op("neg", {s});
  uint64_t r = g.red("sum", {a});
  uint64_t e = g.exch({r});
  uint64_t b = g.op("exp", {e});
  for (FusionRule fusion : {FusionRule::SingleUse, FusionRule::FanOut}) {
    FusedGraph f = fuse(g, {b}, fusion);
    EXPECT_EQ(f.stages, 2u);
    EXPECT_EQ(f.boundary_nodes, 3u);
    ASSERT_EQ(f.nodes.size(), 5u);
    EXPECT_EQ(f.nodes[2], g.nodes[r].with_inputs(std::vector<ir::NodeId>{1}));
  }
}

TEST(StageFusion, AnUnusedOpIsAStageOfItsOwn) {
  NodeList g;
  uint64_t s = g.src("s");
  g.op("neg", {s});  // used by nothing, not an output
  uint64_t b = g.op("exp", {s});
  for (FusionRule fusion : {FusionRule::SingleUse, FusionRule::FanOut}) {
    FusedGraph f = fuse(g, {b}, fusion);
    EXPECT_EQ(f.stages, 2u);
    EXPECT_EQ(f.outputs, std::vector<uint64_t>{2});
  }
}

TEST(StageFusion, InputSlotsFollowFirstNeedAndRepeatOnce) {
  NodeList g;
  uint64_t s1 = g.src("s1");
  uint64_t s2 = g.src("s2");
  uint64_t a = g.op("neg", {s2});
  uint64_t b = g.op("sub", {a, s1});
  uint64_t c = g.op("sub", {b, s2});
  uint64_t d = g.op("sub", {c, s1});
  FusedGraph f = fuse(g, {d}, FusionRule::SingleUse);
  ASSERT_EQ(f.nodes.size(), 3u);
  EXPECT_EQ(f.nodes[2], stage({1, 0}, {member("op|neg", {StageRef::input(0)}),
                                       member("op|sub", {StageRef::member(0), StageRef::input(1)}),
                                       member("op|sub", {StageRef::member(1), StageRef::input(0)}),
                                       member("op|sub", {StageRef::member(2), StageRef::input(1)})}));
}

TEST(StageFusion, GroupsAreEmittedInOrderOfTheirSinks) {
  NodeList g;
  uint64_t x = g.src("x");
  uint64_t a = g.op("neg", {x});   // group {a, c}: smallest label, largest sink
  uint64_t b = g.op("exp", {x});   // group {b}
  uint64_t c = g.op("tanh", {a});
  FusedGraph f = fuse(g, {b, c, c}, FusionRule::SingleUse);
  ASSERT_EQ(f.nodes.size(), 3u);
  EXPECT_EQ(f.nodes[1], stage({0}, {member("op|exp", {StageRef::input(0)})}));
  EXPECT_EQ(f.nodes[2], stage({0}, {member("op|neg", {StageRef::input(0)}),
                                    member("op|tanh", {StageRef::member(0)})}));
  EXPECT_EQ(f.outputs, (std::vector<uint64_t>{1, 2, 2}));
}

TEST(StageFusion, OnlyNonOpNodesGiveNoStages) {
  NodeList g;
  uint64_t s = g.src("s");
  uint64_t r = g.red("sum", {s});
  uint64_t e = g.exch({r, s});
  FusedGraph f = fuse(g, {e}, FusionRule::SingleUse);
  EXPECT_EQ(f.stages, 0u);
  EXPECT_EQ(f.boundary_nodes, 3u);
  EXPECT_EQ(f.nodes, g.nodes);
}

TEST(StageFusion, LabelsPartitionOpsOnly) {
  NodeList g = testing::random_graph(5, 200);
  LiveNodes live;
  for (uint64_t i = 0; i < g.nodes.size(); ++i) {
    live.remap.push_back(i);
    live.kept.push_back(i);
  }
  live.outputs = {199, 150};
  TokenTable tokens(0);
  EngineGraph graph = to_engine_graph(g.nodes, live, tokens);
  for (FusionRule fusion : {FusionRule::SingleUse, FusionRule::FanOut}) {
    std::vector<EnginePos> label = fusion_labels(graph, fusion);
    for (EnginePos i = 0; i < graph.size(); ++i) {
      if (graph.opaque(i)) EXPECT_EQ(label[i], i);
      else EXPECT_FALSE(graph.opaque(label[i]));
      // A label is its group's largest member, which the group is emitted at.
      EXPECT_EQ(label[label[i]], label[i]);
      EXPECT_GE(label[i], i);
    }
  }
}

}  // namespace
}  // namespace nodalis::opt
