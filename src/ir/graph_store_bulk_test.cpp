// Bulk interning: intern_until_merge interns like intern one key at a time,
// and stops right after the first key that merges with an earlier node.
#include <gtest/gtest.h>

#include <vector>

#include "ir/graph_store.h"

namespace nodalis::ir {
namespace {

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

}  // namespace
}  // namespace nodalis::ir
