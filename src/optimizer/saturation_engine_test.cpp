// The saturation engine against the rule table's meaning: the cases the rules
// must and must not touch, the scheduler's bans on big graphs, agreement with
// the exact reference canonicalizer, and the road of one request end to end.
#include "optimizer/saturation_engine.h"

#include <gtest/gtest.h>

#include "egraph/symbol_table.h"
#include "optimizer/cse.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/test_eval.h"
#include "optimizer/test_graphs.h"
#include "optimizer/testing_engines.h"

namespace nodalis::opt {
namespace {

using testing::NodeList;

// The engine graph of a whole node list (every node live).
struct Loaded {
  TokenTable tokens{0};
  EngineGraph graph{tokens.shared_texts()};
};
std::unique_ptr<Loaded> load(const NodeList& g, std::vector<uint64_t> outputs) {
  auto l = std::make_unique<Loaded>();
  LiveNodes live;
  for (uint64_t i = 0; i < g.nodes.size(); ++i) {
    live.remap.push_back(i);
    live.kept.push_back(i);
    live.input_total += g.nodes[i].inputs().size();  // as the pipeline sizes the graph
  }
  live.outputs = std::move(outputs);
  l->graph = to_engine_graph(g.nodes, live, l->tokens);
  return l;
}

// (text, children) of every node, and the outputs: what two results must share.
struct Shape {
  std::vector<std::pair<std::string, std::vector<EnginePos>>> nodes;
  std::vector<EnginePos> outputs;
  friend bool operator==(const Shape&, const Shape&) = default;
};
Shape shape(const EngineGraph& g) {
  Shape s;
  for (EnginePos i = 0; i < g.size(); ++i) {
    auto kids = g.children(i);
    s.nodes.emplace_back(std::string(g.op_text(i)), std::vector<EnginePos>(kids.begin(), kids.end()));
    EXPECT_EQ(g.opaque(i), !is_op_text(g.op_text(i)));
  }
  s.outputs = g.outputs();
  return s;
}

Shape canonical_shape(const NodeList& g, std::vector<uint64_t> outputs) {
  auto l = load(g, std::move(outputs));
  return shape(SaturationEngine().canonicalize(l->graph));
}

TEST(SaturationEngine, EmptyGraphStaysEmpty) {
  NodeList g;
  Shape s = canonical_shape(g, {});
  EXPECT_TRUE(s.nodes.empty());
  EXPECT_TRUE(s.outputs.empty());
}

TEST(SaturationEngine, NothingToRewriteComesBackUnchanged) {
  NodeList g;
  uint64_t a = g.src("a"), b = g.src("b");
  uint64_t s = g.op("sub", {a, b});
  uint64_t t = g.op("sub", {b, a});
  uint64_t p = g.op("add", {a, b}, {{"alpha", ir::ParamValue::Float(1.0)}});
  uint64_t q = g.op("add", {b, a}, {{"alpha", ir::ParamValue::Float(1.0)}});
  uint64_t r = g.red("add", {s, t});
  g.op("add", {a, b, a});
  g.op("add", {a, a, b});
  auto l = load(g, {r, p, q, r});
  EXPECT_EQ(shape(SaturationEngine().canonicalize(l->graph)), shape(l->graph));
}

TEST(SaturationEngine, CommutedTwinsMergeAtTheFirstAndParentsFollow) {
  NodeList g;
  uint64_t x = g.src("x"), y = g.src("y");
  uint64_t yx = g.op("add", {y, x});
  uint64_t xy = g.op("add", {x, y});
  uint64_t u = g.op("tanh", {xy});
  uint64_t v = g.op("tanh", {yx});
  uint64_t xx = g.op("mul", {x, x});
  Shape s = canonical_shape(g, {u, v, xx});
  ASSERT_EQ(s.nodes.size(), 5u);
  EXPECT_EQ(s.nodes[2], (std::pair<std::string, std::vector<EnginePos>>{"op|add", {1, 0}}));
  EXPECT_EQ(s.nodes[3], (std::pair<std::string, std::vector<EnginePos>>{"op|tanh", {2}}));
  EXPECT_EQ(s.outputs, (std::vector<EnginePos>{3, 3, 4}));
}

TEST(SaturationEngine, IdentitiesDisappearAndCongruenceCarriesUp) {
  NodeList g;
  uint64_t x = g.src("x"), z = g.src("z");
  uint64_t i = g.op("add", {x}, testing::add_zero("r"));
  uint64_t j = g.op("mul", {i}, testing::mul_one("l"));
  uint64_t f1 = g.op("pow", {x, j});
  uint64_t f2 = g.op("pow", {x, x});
  uint64_t two = g.op("add", {x, z}, testing::add_zero("r"));  // two inputs: no identity
  Shape s = canonical_shape(g, {f1, f2, j, two});
  ASSERT_EQ(s.nodes.size(), 4u);
  EXPECT_EQ(s.nodes[2], (std::pair<std::string, std::vector<EnginePos>>{"op|pow", {0, 0}}));
  EXPECT_EQ(s.outputs, (std::vector<EnginePos>{2, 2, 0, 3}));
}

TEST(SaturationEngine, ManyIdentityNodesAreAllEliminatedDespiteTheBan) {
  NodeList g;
  std::vector<uint64_t> outs;
  for (int k = 0; k < 1500; ++k) {
    uint64_t s = g.src("s" + std::to_string(k));
    outs.push_back(g.op("add", {s}, testing::add_zero("r")));
  }
  Shape s = canonical_shape(g, outs);
  EXPECT_EQ(s.nodes.size(), 1500u);
  for (const auto& [text, kids] : s.nodes) EXPECT_EQ(text.substr(0, 4), "src|");
  for (size_t k = 0; k < outs.size(); ++k) EXPECT_EQ(s.outputs[k], k);
}

// `pairs` pairs of sources, each added in both orders: the ids of the adds,
// twin after twin.
std::vector<uint64_t> commuted_twins(NodeList& g, int pairs) {
  std::vector<uint64_t> outs;
  for (int k = 0; k < pairs; ++k) {
    uint64_t a = g.src("a" + std::to_string(k)), b = g.src("b" + std::to_string(k));
    outs.push_back(g.op("add", {a, b}));
    outs.push_back(g.op("add", {b, a}));
  }
  return outs;
}

TEST(SaturationEngine, MoreThanAThousandCommutableAddsStillMerge) {
  // 3000 matches: banned at 1000 and at 2000, applied at 4000 in iteration 2.
  NodeList g;
  std::vector<uint64_t> outs = commuted_twins(g, 1500);
  Shape s = canonical_shape(g, outs);
  EXPECT_EQ(s.nodes.size(), 4500u);
  for (size_t k = 0; k < outs.size(); k += 2) EXPECT_EQ(s.outputs[k], s.outputs[k + 1]);
}

// Large graphs load in one go unless two of their nodes are equal; either
// way equal nodes share a class and commuted twins merge.
class LargeLoad : public ::testing::TestWithParam<bool> {};

TEST_P(LargeLoad, EqualNodesShareAClassAndTwinsMerge) {
  const bool repeat = GetParam();
  NodeList g;
  std::vector<uint64_t> outs = commuted_twins(g, 12000);
  // The repeat is an equal node listed twice, after the nodes it would
  // otherwise be distinct from.
  uint64_t first = g.op("sub", {outs[0], outs[2]});
  uint64_t second = repeat ? g.op("sub", {outs[0], outs[2]}) : g.op("sub", {outs[2], outs[0]});
  outs.push_back(first);
  outs.push_back(second);
  Shape s = canonical_shape(g, outs);
  EXPECT_EQ(s.nodes.size(), repeat ? 36001u : 36002u);
  for (size_t k = 0; k + 2 < outs.size(); k += 2) ASSERT_EQ(s.outputs[k], s.outputs[k + 1]) << k;
  EXPECT_EQ(s.outputs[outs.size() - 2] == s.outputs[outs.size() - 1], repeat);
}

INSTANTIATE_TEST_SUITE_P(Repeats, LargeLoad, ::testing::Bool());

TEST(SaturationEngine, AgreesWithTheReferenceCanonicalizer) {
  for (uint32_t seed = 0; seed < 40; ++seed) {
    NodeList g = testing::random_graph(seed, 30 + 5 * seed);
    std::vector<uint64_t> outs{g.nodes.size() - 1, seed % g.nodes.size(), g.nodes.size() / 2};
    auto l = load(g, outs);
    SCOPED_TRACE(seed);
    EXPECT_EQ(shape(SaturationEngine().canonicalize(l->graph)),
              shape(testing::ReferenceEngine().canonicalize(l->graph)));
  }
}

// CSE takes the engine's word that its result has no two equal nodes; graphs
// whose identities and commuted twins make parents congruent put that word
// to the test against CSE's own scan.
TEST(SaturationEngine, ResultsItVouchesDistinctHaveNoEqualNodes) {
  for (uint32_t seed = 0; seed < 40; ++seed) {
    NodeList g = testing::random_graph(seed + 900, 40 + 5 * seed);
    auto l = load(g, {g.nodes.size() - 1, seed % g.nodes.size()});
    SCOPED_TRACE(seed);
    const EngineGraph canonical = SaturationEngine().canonicalize(l->graph);
    ASSERT_TRUE(canonical.vouched_distinct());
    EXPECT_EQ(shape(cse(canonical)), shape(canonical));
  }
}

TEST(SaturationEngine, RoadOfOneRequest) {
  NodeList g;
  uint64_t x = g.src("x");
  uint64_t plus0 = g.op("add", {x}, testing::add_zero("r"));
  uint64_t y = g.src("y");
  uint64_t prod = g.op("mul", {plus0, y});
  std::vector<uint64_t> outs{prod};
  Reduced r = reduce_nodes(g.nodes, outs, SaturationEngine(), FusionRule::SingleUse);
  EXPECT_EQ(r.report(), (ReductionReport{4, 4, 3, 1, 3, 2}));
  std::vector<ir::NodeId> ins{0, 1};
  std::vector<ir::StageOp> members{
      testing::member("op|mul", {ir::StageRef::input(0), ir::StageRef::input(1)})};
  EXPECT_EQ(r.nodes, (std::vector<ir::NodeKey>{g.nodes[x], g.nodes[y], ir::NodeKey::stage(ins, members)}));
  EXPECT_EQ(r.outputs, std::vector<uint64_t>{2});
}

TEST(SaturationEngine, ReductionsPreserveValues) {
  for (uint32_t seed = 0; seed < 30; ++seed) {
    NodeList g = testing::random_graph(seed + 500, 80);
    std::vector<uint64_t> outs{79, 60, 79, seed};
    Reduced r = reduce_nodes(g.nodes, outs, SaturationEngine(), seed % 2 == 0 ? FusionRule::FanOut : FusionRule::SingleUse);
    EXPECT_EQ(testing::output_values(r.nodes, r.outputs), testing::output_values(g.nodes, outs));
  }
}

TEST(SaturationEngine, TextsNoRuleMentionsAreNotInternedForGood) {
  SaturationEngine engine;
  NodeList g;
  uint64_t prev = g.src("never-seen-source-text");
  for (int k = 0; k < 50; ++k)
    prev = g.op("mul", {prev}, {{"scalar", ir::ParamValue::Float(2.0 + k)}, {"side", ir::ParamValue::Str("r")}});
  auto l = load(g, {prev});
  const uint64_t before = egraph::SymbolTable::size();
  (void)engine.canonicalize(l->graph);
  EXPECT_EQ(egraph::SymbolTable::size(), before);
  EXPECT_FALSE(egraph::SymbolTable::find("src|never-seen-source-text").has_value());
}

}  // namespace
}  // namespace nodalis::opt
