// CSE against a plain map-based oracle, on graphs small enough to be hashed
// node by node and large enough to be hashed ahead, whose duplicates sit both
// inside and beyond the look-ahead window, so that a reused early hash that
// should have been recomputed (a child merged after it was taken) shows up as
// a missed merge; and, for a graph handed over whole, the same result whether
// or not it has duplicates.
#include "optimizer/cse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace nodalis::opt {
namespace {

struct Graph {
  std::shared_ptr<OpTexts> texts = std::make_shared<OpTexts>();
  std::vector<TextId> ops;
  EngineGraph graph{texts};
  Graph() {
    for (const char* t : {"x", "y", "op|add", "op|neg", "op|mul"}) ops.push_back(texts->append(t));
  }
  EnginePos add(size_t op, std::vector<EnginePos> kids) { return graph.add_node(ops[op], kids, op < 2); }
};

// The first equal node wins; the oracle's own positions are the result's.
std::pair<std::vector<EnginePos>, size_t> oracle(const EngineGraph& g) {
  std::map<std::pair<TextId, std::vector<EnginePos>>, EnginePos> seen;
  std::vector<EnginePos> remap(g.size());
  for (size_t i = 0; i < g.size(); ++i) {
    std::vector<EnginePos> kids;
    for (EnginePos c : g.children(static_cast<EnginePos>(i))) kids.push_back(remap[c]);
    auto [it, fresh] = seen.try_emplace({g.op(static_cast<EnginePos>(i)), kids}, static_cast<EnginePos>(seen.size()));
    remap[i] = it->second;
  }
  return {remap, seen.size()};
}

void expect_same(const EngineGraph& a, const EngineGraph& b) {
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a.outputs(), b.outputs());
  for (EnginePos i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a.op(i), b.op(i)) << "node " << i;
    EXPECT_EQ(a.opaque(i), b.opaque(i)) << "node " << i;
    EXPECT_TRUE(std::ranges::equal(a.children(i), b.children(i))) << "node " << i;
  }
}

// Checks the result against the oracle, and that a graph handed over whole
// (which comes back as it is when nothing merges) gives the same result.
// Returns the result.
EngineGraph expect_oracle(const EngineGraph& g) {
  EngineGraph dedup = cse(g);
  const auto [remap, count] = oracle(g);
  EXPECT_EQ(dedup.size(), count);
  if (dedup.size() != count) return dedup;
  for (size_t k = 0; k < g.outputs().size(); ++k)
    EXPECT_EQ(dedup.outputs()[k], remap[g.outputs()[k]]) << "output " << k;
  for (size_t i = 0; i < g.size(); ++i) {
    const auto p = static_cast<EnginePos>(remap[i]);
    EXPECT_EQ(dedup.op(p), g.op(static_cast<EnginePos>(i)));
    EXPECT_EQ(dedup.opaque(p), g.opaque(static_cast<EnginePos>(i)));
  }
  EngineGraph given = g;
  expect_same(cse(std::move(given)), dedup);
  return dedup;
}

TEST(Cse, AChildMergedInsideTheWindowIsHashedAgain) {
  // a and b merge at positions 10 and 11; f(a) and f(b) come right after, so
  // f(b)'s early hash was taken while b still looked like itself.
  Graph g;
  const EnginePos x = g.add(0, {}), y = g.add(1, {});
  EnginePos last = y;
  for (int k = 0; k < 8; ++k) last = g.add(3, {last});  // filler, all distinct
  const EnginePos a = g.add(2, {x, y}), b = g.add(2, {x, y});
  const EnginePos fa = g.add(3, {a}), fb = g.add(3, {b});
  // Distinct filler after them makes the graph large enough to be hashed ahead.
  for (size_t k = g.graph.size(); k < kCseLookAheadFrom; ++k) last = g.add(3, {last});
  for (EnginePos o : {fa, fb, last}) g.graph.add_output(o);
  const EngineGraph dedup = cse(g.graph);
  EXPECT_EQ(dedup.size(), g.graph.size() - 2);
  EXPECT_EQ(dedup.outputs()[0], dedup.outputs()[1]);
  expect_oracle(g.graph);
}

TEST(Cse, MatchesTheOracleOnGraphsFullOfDuplicates) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    // Most graphs hashed node by node, a few hashed ahead.
    const size_t size = seed % 10 == 0 ? kCseLookAheadFrom + 300 : 300;
    SCOPED_TRACE(::testing::Message() << "seed " << seed << ", " << size << " nodes");
    std::mt19937 rng(seed);
    Graph g;
    std::vector<EnginePos> nodes = {g.add(0, {}), g.add(1, {})};
    // Few ops over few recent nodes: equal keys at every distance, and twins
    // of twins, so merges cascade through the window.
    while (nodes.size() < size) {
      const size_t lo = nodes.size() > 12 ? nodes.size() - 12 : 0;
      auto pick = [&] { return nodes[lo + rng() % (nodes.size() - lo)]; };
      const size_t op = 2 + rng() % 3;
      nodes.push_back(op == 3 ? g.add(op, {pick()}) : g.add(op, {pick(), pick()}));
    }
    for (int k = 0; k < 5; ++k) g.graph.add_output(nodes[rng() % nodes.size()]);
    const EngineGraph dedup = expect_oracle(g.graph);
    // Without duplicates left, both ways must hand the graph back unchanged.
    expect_same(expect_oracle(dedup), dedup);
  }
}

}  // namespace
}  // namespace nodalis::opt
