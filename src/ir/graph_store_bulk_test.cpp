// The bulk forms: intern_until_merge interns like intern one key at a time and
// stops after the first merge; mark_outputs marks like mark_output, or nothing.
#include <gtest/gtest.h>

#include <vector>

#include "ir/graph_store.h"

namespace nodalis::ir {
namespace {

void fill(GraphStore& store, int n) {
  for (int i = 0; i < n; ++i) (void)store.intern(NodeKey::source("n" + std::to_string(i), ParamMapView()));
}

NodeKey src(const std::string& name) { return NodeKey::source(name, ParamMapView()); }

TEST(InternUntilMerge, StopsRightAfterTheFirstMerge) {
  GraphStore store;
  store.reserve(100);  // room ahead changes nothing that can be seen
  ASSERT_EQ(store.intern(src("a")).value(), 0u);
  NodeId in0[] = {0};
  std::vector<NodeKey> keys = {src("b"), NodeKey::op("f", ParamMapView(), in0), src("a"), src("c")};
  std::vector<NodeId> ids(keys.size(), 99);
  auto taken = store.intern_until_merge(keys, ids);
  ASSERT_TRUE(taken.ok());
  EXPECT_EQ(taken.value(), 3u);
  EXPECT_EQ(ids, (std::vector<NodeId>{1, 2, 0, 99}));
  EXPECT_EQ(store.node_count(), 3u);
  // The rest is left to the caller, untouched.
  ASSERT_TRUE(keys[3].valid());
  EXPECT_EQ(store.intern(keys[3]).value(), 3u);
  // Every key interned in bulk is found again one at a time.
  EXPECT_EQ(store.intern(src("b")).value(), 1u);
  EXPECT_EQ(store.intern(NodeKey::op("f", ParamMapView(), in0)).value(), 2u);
}

TEST(InternUntilMerge, ABadInputStopsWithTheKeysBeforeItInterned) {
  GraphStore store;
  NodeId bad[] = {0, 5};
  std::vector<NodeKey> keys = {src("a"), NodeKey::op("f", ParamMapView(), bad), src("b")};
  std::vector<NodeId> ids(keys.size());
  auto taken = store.intern_until_merge(keys, ids);
  ASSERT_FALSE(taken.ok());
  EXPECT_EQ(taken.error().id, 5u);
  EXPECT_EQ(store.node_count(), 1u);
}

TEST(InternUntilMerge, LongRunsMatchInterningOneByOne) {
  GraphStore bulk, single;
  std::vector<NodeKey> keys;
  for (int i = 0; i < 1000; ++i) keys.push_back(src("n" + std::to_string(i % 700)));
  std::vector<NodeId> ids(keys.size());
  size_t done = 0;
  while (done < keys.size()) {
    auto taken = bulk.intern_until_merge(std::span(keys).subspan(done), std::span(ids).subspan(done));
    ASSERT_TRUE(taken.ok());
    done += taken.value();
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(ids[i], single.intern(src("n" + std::to_string(i % 700))).value()) << i;
  }
  EXPECT_EQ(bulk.node_count(), 700u);
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
