// mark_outputs: the same marks as marking one id at a time, or nothing at all.
#include <gtest/gtest.h>

#include <vector>

#include "ir/graph_store.h"

namespace nodalis::ir {
namespace {

void fill(GraphStore& store, int n) {
  for (int i = 0; i < n; ++i) (void)store.intern(NodeKey::source("n" + std::to_string(i), ParamMapView()));
}

TEST(MarkOutputs, KeepsFirstPositionsLikeMarkingOneByOne) {
  // Past the size where a scan would do, too.
  for (int n : {4, 300}) {
    GraphStore bulk, single;
    fill(bulk, n);
    fill(single, n);
    std::vector<NodeId> ids = {2, 0, 2, 3, 0};
    for (int i = n - 1; i >= 0; i -= 3) ids.push_back(static_cast<NodeId>(i));
    (void)bulk.mark_output(3);
    (void)single.mark_output(3);
    ASSERT_TRUE(bulk.mark_outputs(ids).ok());
    for (NodeId id : ids) (void)single.mark_output(id);
    EXPECT_EQ(bulk.outputs(), single.outputs()) << n;
  }
}

TEST(MarkOutputs, ABadIdMarksNothing) {
  GraphStore store;
  fill(store, 3);
  std::vector<NodeId> ids = {1, 3, 7};
  auto r = store.mark_outputs(ids);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().id, 3u);
  EXPECT_TRUE(store.outputs().empty());
}

}  // namespace
}  // namespace nodalis::ir
