// The incremental reducer: its three rules in arrival order, independence from
// how the steps are cut, and agreement in value with a full reduction.
#include "optimizer/incremental_reducer.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "optimizer/reduction_pipeline.h"
#include "optimizer/test_eval.h"
#include "optimizer/test_graphs.h"
#include "optimizer/testing_engines.h"

namespace nodalis::opt {
namespace {

using testing::NodeList;

IncrementalReducer stepped(const NodeList& g) {
  IncrementalReducer r;
  auto n = r.step(g.nodes);
  EXPECT_TRUE(n.ok());
  return r;
}

TEST(IncrementalReducer, StartsEmpty) {
  IncrementalReducer r;
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.total_work(), 0u);
  EXPECT_EQ(r.canonical_count(), 0u);
  auto n = r.step({});
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(n.value(), 0u);
}

TEST(IncrementalReducer, IdentityStandsForItsOperandAndComposes) {
  NodeList g;
  uint64_t x = g.src("x");
  uint64_t i = g.op("add", {x}, testing::add_zero("r"));
  uint64_t j = g.op("mul", {i}, testing::mul_one("l"));
  uint64_t f1 = g.op("tanh", {j});
  uint64_t f2 = g.op("tanh", {x});
  IncrementalReducer r = stepped(g);
  EXPECT_EQ(r.id_map()[i], r.id_map()[x]);
  EXPECT_EQ(r.id_map()[j], r.id_map()[x]);
  EXPECT_EQ(r.id_map()[f1], r.id_map()[f2]);
  EXPECT_EQ(r.canonical_count(), 2u);
}

struct RuleCase {
  const char* what;
  std::function<void(NodeList&, uint64_t, uint64_t)> build;  // adds two nodes over a, b
  bool merged;
};

class IncrementalRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(IncrementalRules, MergeExactlyWhenTheEngineWould) {
  NodeList g;
  uint64_t a = g.src("a"), b = g.src("b");
  GetParam().build(g, a, b);
  IncrementalReducer r = stepped(g);
  EXPECT_EQ(r.id_map()[2] == r.id_map()[3], GetParam().merged);
  EXPECT_EQ(r.canonical_count(), GetParam().merged ? 3u : 4u);
  // The engine agrees: reduce both as outputs.
  std::vector<uint64_t> outs{2, 3};
  Reduced full = reduce_nodes(g.nodes, outs, testing::ReferenceEngine(), FusionRule::SingleUse);
  EXPECT_EQ(full.outputs[0] == full.outputs[1], GetParam().merged);
}

const testing::Params kAlpha{{"alpha", ir::ParamValue::Int(1)}};

INSTANTIATE_TEST_SUITE_P(
    Cases, IncrementalRules,
    ::testing::Values(
        RuleCase{"commuted add", [](NodeList& g, uint64_t a, uint64_t b) { g.op("add", {a, b}); g.op("add", {b, a}); }, true},
        RuleCase{"commuted minimum", [](NodeList& g, uint64_t a, uint64_t b) { g.op("minimum", {a, b}); g.op("minimum", {b, a}); }, true},
        RuleCase{"commuted ne", [](NodeList& g, uint64_t a, uint64_t b) { g.op("ne", {a, b}); g.op("ne", {b, a}); }, true},
        RuleCase{"commuted mul", [](NodeList& g, uint64_t a, uint64_t b) { g.op("mul", {a, b}); g.op("mul", {b, a}); }, true},
        RuleCase{"commuted and", [](NodeList& g, uint64_t a, uint64_t b) { g.op("and", {a, b}); g.op("and", {b, a}); }, true},
        RuleCase{"commuted or", [](NodeList& g, uint64_t a, uint64_t b) { g.op("or", {a, b}); g.op("or", {b, a}); }, true},
        RuleCase{"commuted eq", [](NodeList& g, uint64_t a, uint64_t b) { g.op("eq", {a, b}); g.op("eq", {b, a}); }, true},
        RuleCase{"commuted maximum", [](NodeList& g, uint64_t a, uint64_t b) { g.op("maximum", {a, b}); g.op("maximum", {b, a}); }, true},
        RuleCase{"div", [](NodeList& g, uint64_t a, uint64_t b) { g.op("div", {a, b}); g.op("div", {b, a}); }, false},
        RuleCase{"Add is another name", [](NodeList& g, uint64_t a, uint64_t b) { g.op("Add", {a, b}); g.op("Add", {b, a}); }, false},
        RuleCase{"max is another name", [](NodeList& g, uint64_t a, uint64_t b) { g.op("max", {a, b}); g.op("max", {b, a}); }, false},
        RuleCase{"mul with identity params", [](NodeList& g, uint64_t a, uint64_t b) {
          g.op("mul", {a, b}, testing::mul_one()); g.op("mul", {b, a}, testing::mul_one()); }, false},
        RuleCase{"parameterized add", [](NodeList& g, uint64_t a, uint64_t b) { g.op("add", {a, b}, kAlpha); g.op("add", {b, a}, kAlpha); }, false},
        RuleCase{"sub", [](NodeList& g, uint64_t a, uint64_t b) { g.op("sub", {a, b}); g.op("sub", {b, a}); }, false},
        RuleCase{"reduction add", [](NodeList& g, uint64_t a, uint64_t b) { g.red("add", {a, b}); g.red("add", {b, a}); }, false},
        RuleCase{"three-input add", [](NodeList& g, uint64_t a, uint64_t b) { g.op("add", {a, b, a}); g.op("add", {b, a, a}); }, false},
        RuleCase{"identity text, two inputs", [](NodeList& g, uint64_t a, uint64_t b) { g.op("add", {a, b}, testing::add_zero()); g.op("tanh", {a}); }, false},
        RuleCase{"integer zero is no identity", [](NodeList& g, uint64_t a, uint64_t) {
          g.op("add", {a}, {{"scalar", ir::ParamValue::Int(0)}, {"side", ir::ParamValue::Str("r")}}); g.op("tanh", {a}); }, false},
        RuleCase{"negative zero is no identity", [](NodeList& g, uint64_t a, uint64_t) {
          g.op("add", {a}, {{"scalar", ir::ParamValue::Float(-0.0)}, {"side", ir::ParamValue::Str("r")}}); g.op("tanh", {a}); }, false},
        RuleCase{"extra parameter is no identity", [](NodeList& g, uint64_t a, uint64_t) {
          g.op("mul", {a}, {{"scalar", ir::ParamValue::Float(1.0)}, {"side", ir::ParamValue::Str("r")}, {"x", ir::ParamValue::Bool(true)}}); g.op("tanh", {a}); }, false}),
    [](const auto& case_info) {
      std::string s = case_info.param.what;
      for (char& c : s) if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return s;
    });

TEST(IncrementalReducer, NaNParametersCompareByCanonicalBits) {
  const double nan_a = std::bit_cast<double>(0x7FF8000000000001ull);
  const double nan_b = std::bit_cast<double>(0xFFF8000000000002ull);
  NodeList g;
  uint64_t x = g.src("x");
  uint64_t i = g.op("add", {x}, testing::add_zero());
  uint64_t f1 = g.op("scale", {i}, {{"k", ir::ParamValue::Float(nan_a)}});
  uint64_t f2 = g.op("scale", {x}, {{"k", ir::ParamValue::Float(nan_b)}});
  uint64_t f3 = g.op("scale", {x}, {{"k", ir::ParamValue::Float(1.0)}});
  IncrementalReducer r = stepped(g);
  EXPECT_EQ(r.id_map()[f1], r.id_map()[f2]);
  EXPECT_NE(r.id_map()[f1], r.id_map()[f3]);
  EXPECT_EQ(r.canonical_count(), 3u);
}

TEST(IncrementalReducer, IdentityTextWithoutInputsIsAnOrdinaryNode) {
  NodeList g;
  g.op("add", {}, testing::add_zero());
  g.op("add", {}, testing::add_zero());
  IncrementalReducer r = stepped(g);
  EXPECT_EQ(r.canonical_count(), 1u);
  EXPECT_EQ(r.id_map(), (std::vector<uint64_t>{0, 0}));
}

TEST(IncrementalReducer, KeepsTheFirstArrivalsOperandOrder) {
  NodeList g;
  uint64_t x = g.src("x"), y = g.src("y");
  g.op("add", {y, x});
  uint64_t xy = g.op("add", {x, y});
  IncrementalReducer r = stepped(g);
  std::vector<ir::NodeId> ins{1, 0};
  EXPECT_EQ(r.canonical()[r.id_map()[xy]], g.nodes[xy].with_inputs(ins));
}

TEST(IncrementalReducer, HowStepsAreCutChangesNothing) {
  NodeList g = testing::random_graph(21, 300);
  IncrementalReducer whole = stepped(g);
  std::mt19937 rng(4);
  for (int trial = 0; trial < 20; ++trial) {
    IncrementalReducer r;
    size_t at = 0;
    while (at < g.nodes.size()) {
      size_t len = trial == 0 ? 1 : rng() % 40;
      len = std::min(len, g.nodes.size() - at);
      auto n = r.step(std::span<const ir::NodeKey>(g.nodes).subspan(at, len));
      ASSERT_TRUE(n.ok());
      EXPECT_EQ(n.value(), len);
      at += len;
      EXPECT_EQ(r.total_work(), r.watermark());
    }
    EXPECT_EQ(r.canonical(), whole.canonical());
    EXPECT_EQ(r.id_map(), whole.id_map());
    EXPECT_EQ(r.total_work(), g.nodes.size());
  }
}

TEST(IncrementalReducer, UnconsumedInputIsRefusedAndNotCounted) {
  NodeList g;
  uint64_t a = g.src("a");
  g.op("tanh", {a});
  IncrementalReducer r;
  auto bad = r.step(std::span<const ir::NodeKey>(g.nodes).subspan(1));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), ir::BadNodeId{0});
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.total_work(), 0u);
}

TEST(IncrementalReducer, FinalizeReducesTheCanonicalForm) {
  for (uint32_t seed = 0; seed < 30; ++seed) {
    NodeList g = testing::random_graph(seed + 100, 60 + seed);
    IncrementalReducer r = stepped(g);
    std::vector<uint64_t> outs{g.nodes.size() - 1, seed % g.nodes.size(), g.nodes.size() - 1};
    auto fin = r.finalize(outs, testing::ReferenceEngine(), seed % 2 == 1 ? FusionRule::FanOut : FusionRule::SingleUse);
    ASSERT_TRUE(fin.ok());
    EXPECT_EQ(fin.value().input_nodes, r.canonical_count());
    EXPECT_EQ(testing::output_values(fin.value().nodes, fin.value().outputs),
              testing::output_values(g.nodes, outs));
    Reduced full = reduce_nodes(g.nodes, outs, testing::ReferenceEngine(), seed % 2 == 1 ? FusionRule::FanOut : FusionRule::SingleUse);
    EXPECT_EQ(fin.value().canonical_nodes, full.canonical_nodes);
    EXPECT_EQ(fin.value().stages, full.stages);
  }
}

TEST(IncrementalReducer, FinalizeRefusesUnconsumedOutputs) {
  NodeList g;
  g.src("a");
  IncrementalReducer r = stepped(g);
  std::vector<uint64_t> outs{0, 1};
  auto fin = r.finalize(outs, testing::ReferenceEngine(), FusionRule::SingleUse);
  ASSERT_FALSE(fin.ok());
  EXPECT_EQ(fin.error(), ir::BadNodeId{1});
}

}  // namespace
}  // namespace nodalis::opt
