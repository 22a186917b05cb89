// The pipeline end to end with exact test engines: the road of one request,
// counts, dead code, outputs, opaque nodes that must survive unmerged, and
// value preservation on random graphs.
#include "optimizer/reduction_pipeline.h"

#include <gtest/gtest.h>

#include "optimizer/test_eval.h"
#include "optimizer/test_graphs.h"
#include "optimizer/testing_engines.h"

namespace nodalis::opt {
namespace {

using testing::NodeList;
using testing::ReferenceEngine;
using testing::UnchangedEngine;

ReductionReport counts(uint64_t in, uint64_t reach, uint64_t canon, uint64_t stages,
                       uint64_t reduced, uint64_t boundary) {
  return {in, reach, canon, stages, reduced, boundary};
}

TEST(ReductionPipeline, RoadOfOneRequest) {
  NodeList g;
  uint64_t x = g.src("x");
  uint64_t plus0 = g.op("add", {x}, testing::add_zero("r"));
  uint64_t y = g.src("y");
  uint64_t prod = g.op("mul", {plus0, y});
  EXPECT_EQ(g.nodes[plus0].token(), "op|add|scalar=f0000000000000000;side=sr");

  std::vector<uint64_t> outs{prod};
  Reduced r = reduce_nodes(g.nodes, outs, ReferenceEngine(), FusionRule::SingleUse);
  EXPECT_EQ(r.report(), counts(4, 4, 3, 1, 3, 2));
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes[0], g.nodes[x]);
  EXPECT_EQ(r.nodes[1], g.nodes[y]);
  std::vector<ir::NodeId> ins{0, 1};
  std::vector<ir::StageOp> members{
      testing::member("op|mul", {ir::StageRef::input(0), ir::StageRef::input(1)})};
  EXPECT_EQ(r.nodes[2], ir::NodeKey::stage(ins, members));
  EXPECT_EQ(r.outputs, std::vector<uint64_t>{2});
}

TEST(ReductionPipeline, NoOutputsGivesNothing) {
  testing::NodeList g = testing::random_graph(7, 40);
  Reduced r = reduce_nodes(g.nodes, {}, ReferenceEngine(), FusionRule::SingleUse);
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.report(), counts(40, 0, 0, 0, 0, 0));
}

TEST(ReductionPipeline, DeadNodesCountOnlyAsInput) {
  NodeList g;
  uint64_t a = g.src("a");
  g.op("tanh", {a});  // dead
  uint64_t b = g.src("b");
  g.src("dead");
  uint64_t out = g.op("sub", {a, b});
  std::vector<uint64_t> outs{out};
  Reduced r = reduce_nodes(g.nodes, outs, UnchangedEngine(), FusionRule::SingleUse);
  EXPECT_EQ(r.report(), counts(5, 3, 3, 1, 3, 2));
}

TEST(ReductionPipeline, ChainOfTwoSingleUseOpsIsOneStage) {
  NodeList g;
  uint64_t a = g.src("a");
  uint64_t n = g.op("neg", {a});
  uint64_t e = g.op("exp", {n});
  std::vector<uint64_t> outs{e};
  Reduced r = reduce_nodes(g.nodes, outs, ReferenceEngine(), FusionRule::SingleUse);
  EXPECT_EQ(r.report(), counts(3, 3, 3, 1, 2, 1));
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes[0], g.nodes[a]);
  std::vector<ir::NodeId> ins{0};
  std::vector<ir::StageOp> members{testing::member("op|neg", {ir::StageRef::input(0)}),
                                   testing::member("op|exp", {ir::StageRef::member(0)})};
  EXPECT_EQ(r.nodes[1], ir::NodeKey::stage(ins, members));
  EXPECT_EQ(r.outputs, std::vector<uint64_t>{1});
}

TEST(ReductionPipeline, CommutedTwinsBecomeOneNodeAndRepeatedOutputsStay) {
  NodeList g;
  uint64_t x = g.src("x"), y = g.src("y");
  uint64_t xy = g.op("add", {x, y});
  uint64_t yx = g.op("add", {y, x});
  std::vector<uint64_t> outs{xy, yx, xy};
  Reduced r = reduce_nodes(g.nodes, outs, ReferenceEngine(), FusionRule::SingleUse);
  EXPECT_EQ(r.report(), counts(4, 4, 3, 1, 3, 2));
  ASSERT_EQ(r.outputs.size(), 3u);
  EXPECT_EQ(r.outputs[0], r.outputs[1]);
  EXPECT_EQ(r.outputs[0], r.outputs[2]);
}

TEST(ReductionPipeline, CseMergesWhatTheEngineLeavesEqual) {
  // Two equal subgraphs (a raw list need not be interned) under an engine
  // that merges nothing: CSE alone makes them one.
  NodeList g;
  uint64_t a = g.src("a"), a2 = g.src("a");
  uint64_t t1 = g.op("tanh", {a}), t2 = g.op("tanh", {a2});
  std::vector<uint64_t> outs{t1, t2};
  Reduced r = reduce_nodes(g.nodes, outs, UnchangedEngine(), FusionRule::SingleUse);
  EXPECT_EQ(r.report(), counts(4, 4, 2, 1, 2, 1));
  EXPECT_EQ(r.outputs, (std::vector<uint64_t>{1, 1}));
}

TEST(ReductionPipeline, CseMergesParentsOfMergedNodesAtAnyDistance) {
  // CSE hashes a node's key a few nodes ahead, before its children are
  // merged; a parent close behind a merged child must still find its twin.
  for (int gap = 0; gap <= 12; ++gap) {
    NodeList g;
    std::vector<uint64_t> outs;
    for (int i = 0; i < 10; ++i) outs.push_back(g.src("pad" + std::to_string(i)));
    uint64_t a = g.src("a"), a2 = g.src("a");
    for (int i = 0; i < gap; ++i) outs.push_back(g.src("gap" + std::to_string(i)));
    uint64_t t1 = g.red("sum", {a}), t2 = g.red("sum", {a2});
    outs.push_back(t1);
    outs.push_back(t2);
    Reduced r = reduce_nodes(g.nodes, outs, UnchangedEngine(), FusionRule::SingleUse);
    EXPECT_EQ(r.outputs[outs.size() - 2], r.outputs.back()) << "gap " << gap;
    EXPECT_EQ(r.nodes.size(), outs.size()) << "gap " << gap;  // a and a2 are one source
  }
}

TEST(ReductionPipeline, StageInTheInputIsOpaqueAndReReducingIsAFixpoint) {
  testing::NodeList g = testing::random_graph(3, 60);
  std::vector<uint64_t> outs{59, 40, 59};
  Reduced once = reduce_nodes(g.nodes, outs, ReferenceEngine(), FusionRule::SingleUse);
  Reduced twice = reduce_nodes(once.nodes, once.outputs, ReferenceEngine(), FusionRule::SingleUse);
  EXPECT_EQ(twice.nodes, once.nodes);
  EXPECT_EQ(twice.outputs, once.outputs);
  EXPECT_EQ(twice.stages, 0u);
  EXPECT_EQ(twice.boundary_nodes, once.nodes.size());
}

TEST(ReductionPipeline, OpaqueNodesWithCollidingTokensStayApart) {
  NodeList g;
  g.src("dead");  // so that every kept node is renumbered
  uint64_t x = g.src("x");
  // Same token "stage|1", different members, same input.
  uint64_t s1 = g.stage({x}, {testing::member("op|neg", {ir::StageRef::input(0)})});
  uint64_t s2 = g.stage({x}, {testing::member("op|exp", {ir::StageRef::input(0)})});
  // Same token (an absent preprocessing_ref prints as "-"), different keys.
  uint64_t e1 = g.ext(testing::descriptor("m"), {x});
  uint64_t e2 = g.ext(testing::descriptor("m", "-"), {x});
  // Descriptor texts with "|" run together: "a|b" + "c" against "a" + "b|c".
  ir::PayloadDescriptor d1{"a|b", "c", "fw", "1", "io", {}};
  ir::PayloadDescriptor d2{"a", "b|c", "fw", "1", "io", {}};
  uint64_t e3 = g.ext(d1, {x});
  uint64_t e4 = g.ext(d2, {x});
  EXPECT_EQ(g.nodes[s1].token(), g.nodes[s2].token());
  EXPECT_EQ(g.nodes[e1].token(), g.nodes[e2].token());
  EXPECT_EQ(g.nodes[e3].token(), g.nodes[e4].token());
  std::vector<uint64_t> outs{s1, s2, e1, e2, e3, e4};
  for (FusionRule fusion : {FusionRule::SingleUse, FusionRule::FanOut}) {
    Reduced r = reduce_nodes(g.nodes, outs, ReferenceEngine(), fusion);
    EXPECT_EQ(r.report(), counts(8, 7, 7, 0, 7, 7));
    for (size_t k = 0; k < outs.size(); ++k) {
      std::vector<ir::NodeId> ins{0};
      EXPECT_EQ(r.nodes[r.outputs[k]], g.nodes[outs[k]].with_inputs(ins));
    }
  }
}

TEST(ReductionPipeline, EqualOpaqueNodesStillMerge) {
  NodeList g;
  uint64_t x = g.src("x");
  uint64_t e1 = g.ext(testing::descriptor("m"), {x});
  uint64_t e2 = g.ext(testing::descriptor("m"), {x});
  std::vector<uint64_t> outs{e1, e2};
  Reduced r = reduce_nodes(g.nodes, outs, ReferenceEngine(), FusionRule::SingleUse);
  EXPECT_EQ(r.canonical_nodes, 2u);
  EXPECT_EQ(r.outputs[0], r.outputs[1]);
}

TEST(ReductionPipeline, WideInputListsComeThroughWholeAndInOrder) {
  NodeList g;
  std::vector<uint64_t> sources;
  for (int k = 0; k < 40; ++k) sources.push_back(g.src("s" + std::to_string(k)));
  std::vector<uint64_t> shuffled;
  for (size_t k = 0; k < sources.size(); ++k) shuffled.push_back(sources[(7 * k) % sources.size()]);
  const uint64_t narrow = g.red("sum", {sources[3], sources[1]});
  const uint64_t wide = g.red("sum", shuffled);
  const uint64_t wider = g.op("add", {wide, narrow, wide, narrow, wide, narrow, wide, narrow, wide});
  const uint64_t after = g.red("sum", {sources[2], sources[0]});
  std::vector<uint64_t> outs{wider, narrow, after};
  Reduced r = reduce_nodes(g.nodes, outs, UnchangedEngine(), FusionRule::SingleUse);
  // The sources are the first nodes emitted: each input names its source.
  const ir::NodeKey& emitted = r.nodes[r.nodes.size() - 3];
  ASSERT_EQ(emitted.inputs().size(), shuffled.size());
  for (uint32_t k = 0; k < shuffled.size(); ++k) EXPECT_EQ(r.nodes[emitted.inputs()[k]], g.nodes[shuffled[k]]) << k;
  EXPECT_EQ(testing::output_values(r.nodes, r.outputs), testing::output_values(g.nodes, outs));
}

TEST(TokenTable, TextIsThePlainTokenWhenNothingCollides) {
  testing::NodeList g = testing::random_graph(11, 80);
  TokenTable tokens(0);
  for (const ir::NodeKey& k : g.nodes) {
    TextId id = tokens.enter(k);
    EXPECT_EQ(tokens.texts().text(id), k.token());
  }
}

TEST(ReductionPipeline, CountsHoldTheirInvariantsAndValuesArePreserved) {
  for (uint32_t seed = 0; seed < 60; ++seed) {
    testing::NodeList g = testing::random_graph(seed, 20 + seed * 3);
    std::mt19937 rng(seed);
    std::vector<uint64_t> outs;
    for (int k = 0; k < 1 + static_cast<int>(seed % 4); ++k) outs.push_back(rng() % g.nodes.size());
    auto want = testing::output_values(g.nodes, outs);
    for (FusionRule fusion : {FusionRule::SingleUse, FusionRule::FanOut}) {
      Reduced r = reduce_nodes(g.nodes, outs, ReferenceEngine(), fusion);
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " fan-out " << (fusion == FusionRule::FanOut));
      EXPECT_EQ(r.reduced_nodes, r.stages + r.boundary_nodes);
      EXPECT_LE(r.reachable_nodes, r.input_nodes);
      EXPECT_LE(r.canonical_nodes, r.reachable_nodes);
      EXPECT_LE(r.reduced_nodes, r.canonical_nodes);
      EXPECT_EQ(r.nodes.size(), r.reduced_nodes);
      for (size_t i = 0; i < r.nodes.size(); ++i)
        for (ir::NodeId in : r.nodes[i].inputs()) ASSERT_LT(in, i);
      EXPECT_EQ(testing::output_values(r.nodes, r.outputs), want);
    }
  }
}

}  // namespace
}  // namespace nodalis::opt
