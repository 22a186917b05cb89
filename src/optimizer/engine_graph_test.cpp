// Engine graphs built node by node with no room reserved, as a caller that
// cannot size them ahead builds them: each array grows with what it holds, and
// the nodes read back as they were added.
#include "optimizer/engine_graph.h"

#include <gtest/gtest.h>

#include "base/fault.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace nodalis::opt {
namespace {

class Growth : public ::testing::TestWithParam<size_t> {};

TEST_P(Growth, RoomStaysWithinTwiceWhatIsHeld) {
  const size_t arity = GetParam();
  auto texts = std::make_shared<OpTexts>();
  const TextId leaf = texts->append("x"), op = texts->append("op|add");
  EngineGraph g{texts};
  constexpr size_t kNodes = 40000;
  std::vector<EnginePos> kids;
  for (size_t i = 0; i < kNodes; ++i) {
    kids.clear();
    for (size_t k = 0; k < arity && i > k; ++k) kids.push_back(static_cast<EnginePos>((i * 7 + k) % i));
    ASSERT_EQ(g.add_node(kids.empty() ? leaf : op, kids), i);
  }
  const auto [nodes, children] = g.room();
  EXPECT_LE(nodes, 2 * kNodes + 16);
  EXPECT_LE(children, 2 * g.child_count() + 16);
  for (size_t i : {size_t{0}, size_t{1}, size_t{2}, kNodes / 3, kNodes - 1}) {
    const auto got = g.children(static_cast<EnginePos>(i));
    ASSERT_EQ(got.size(), std::min(arity, i)) << i;
    for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], (i * 7 + k) % i) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Arities, Growth, ::testing::Values(0, 1, 3));

// Outputs given as one list keep their order and repeats; a list naming a
// position past the last node is refused whole.
TEST(EngineGraphOutputs, AListGoesInWholeOrNotAtAll) {
  auto texts = std::make_shared<OpTexts>();
  const TextId leaf = texts->append("x");
  EngineGraph g{texts};
  for (int i = 0; i < 3; ++i) g.add_node(leaf, {});
  g.add_outputs(std::vector<uint64_t>{2, 0, 2});
  EXPECT_THROW(g.add_outputs(std::vector<uint64_t>{1, 3}), InternalFault);
  EXPECT_THROW(g.add_outputs(std::vector<uint64_t>{uint64_t{1} << 32}), InternalFault);
  EXPECT_EQ(g.outputs(), (std::vector<EnginePos>{2, 0, 2}));
}

}  // namespace
}  // namespace nodalis::opt
