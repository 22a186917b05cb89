// intern_records: the same ids as intern_record one record at a time, and a
// stop right after the first record that merges with an earlier node; fill:
// a whole graph at once, or an empty store when two records are equal;
// reserve changes nothing that can be seen.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "base/fault.h"
#include "ir/graph_store.h"

namespace nodalis::ir {
namespace {

NodeKey src(const std::string& name) { return NodeKey::source(name, ParamMapView()); }

std::vector<RecordView> views_of(const std::vector<NodeKey>& keys) {
  std::vector<RecordView> views;
  for (const NodeKey& k : keys) views.push_back(k.view());
  return views;
}

TEST(InternRecords, StopsRightAfterTheFirstMerge) {
  GraphStore store;
  ASSERT_EQ(store.intern(src("a")).value(), 0u);
  NodeId in0[] = {0};
  std::vector<NodeKey> keys = {src("b"), NodeKey::op("f", ParamMapView(), in0), src("a"), src("c")};
  std::vector<RecordView> views = views_of(keys);
  std::vector<NodeId> ids(views.size(), 99);
  auto taken = store.intern_records(views, ids);
  ASSERT_TRUE(taken.ok());
  EXPECT_EQ(taken.value(), 3u);
  EXPECT_EQ(ids, (std::vector<NodeId>{1, 2, 0, 99}));
  EXPECT_EQ(store.node_count(), 3u);
  // Every node interned in bulk is found again one at a time.
  EXPECT_EQ(store.intern(src("b")).value(), 1u);
  EXPECT_EQ(store.intern(NodeKey::op("f", ParamMapView(), in0)).value(), 2u);
  EXPECT_EQ(store.intern_record(views[3]).value(), 3u);
}

TEST(InternRecords, ABadInputStopsWithTheRecordsBeforeItInterned) {
  GraphStore store;
  NodeId bad[] = {0, 5};
  std::vector<NodeKey> keys = {src("a"), NodeKey::op("f", ParamMapView(), bad), src("b")};
  std::vector<RecordView> views = views_of(keys);
  std::vector<NodeId> ids(views.size());
  auto taken = store.intern_records(views, ids);
  ASSERT_FALSE(taken.ok());
  EXPECT_EQ(taken.error().id, 5u);
  EXPECT_EQ(store.node_count(), 1u);
}

// Longer than the look-ahead, with repeats: resuming after each merge gives
// the ids that interning one record at a time gives.
TEST(InternRecords, LongRunsMatchInterningOneByOne) {
  GraphStore bulk, single;
  std::vector<NodeKey> keys;
  for (int i = 0; i < 1000; ++i) keys.push_back(src("n" + std::to_string(i % 700)));
  std::vector<RecordView> views = views_of(keys);
  std::vector<NodeId> ids(views.size());
  size_t done = 0;
  while (done < views.size()) {
    auto taken = bulk.intern_records(std::span(views).subspan(done), std::span(ids).subspan(done));
    ASSERT_TRUE(taken.ok());
    done += taken.value();
  }
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(ids[i], single.intern_record(views[i]).value()) << i;
  EXPECT_EQ(bulk.node_count(), 700u);
  EXPECT_EQ(bulk.snapshot().nodes.size(), 700u);
}

// Hands out `views` in runs of `run` records.
class VectorRuns final : public RecordRuns {
 public:
  VectorRuns(std::vector<RecordView> views, size_t run) : views_(std::move(views)), run_(run) {}
  size_t next(std::span<RecordView> room) override {
    size_t n = 0;
    while (n < room.size() && n < run_ && at_ < views_.size()) room[n++] = views_[at_++];
    return n;
  }

 private:
  std::vector<RecordView> views_;
  size_t run_;
  size_t at_ = 0;
};

// Sources, then ops over them (several input orders), enough to fill many
// home regions of the table and wrap around its end.
std::vector<NodeKey> distinct_graph(size_t sources) {
  std::vector<NodeKey> keys;
  for (size_t i = 0; i < sources; ++i) keys.push_back(src("s" + std::to_string(i)));
  for (NodeId i = 1; i < sources; ++i) {
    NodeId ab[] = {i - 1, i}, ba[] = {i, i - 1};
    keys.push_back(NodeKey::op("f", ParamMapView(), ab));
    keys.push_back(NodeKey::op("f", ParamMapView(), ba));
  }
  return keys;
}

// The run length, and the nodes reserved before filling: none, fewer than
// come (the table grows after the regions were counted), or all of them.
class Fill : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {
 protected:
  size_t run() const { return std::get<0>(GetParam()); }
  void reserve(GraphStore& store) const {
    if (std::get<1>(GetParam()) > 0) store.reserve(std::get<1>(GetParam()));
  }
};

TEST_P(Fill, DistinctRecordsBecomeNodesInOrderAndAreFoundAgain) {
  const std::vector<NodeKey> keys = distinct_graph(3000);
  GraphStore store;
  reserve(store);
  VectorRuns runs(views_of(keys), run());
  ASSERT_TRUE(store.fill(runs));
  ASSERT_EQ(store.node_count(), keys.size());
  std::vector<NodeKey> nodes = store.nodes();
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(nodes[i].record(), keys[i].record()) << i;
    ASSERT_EQ(store.intern(keys[i]).value(), i) << i;  // the table finds every node
  }
  EXPECT_EQ(store.intern(src("new")).value(), keys.size());
}

TEST_P(Fill, TwoEqualRecordsLeaveTheStoreEmptyAndUsable) {
  for (size_t repeat : {size_t{1}, size_t{2999}, size_t{8997}}) {
    std::vector<NodeKey> keys = distinct_graph(3000);
    keys.push_back(keys[repeat]);
    keys.push_back(src("after"));
    GraphStore store;
    reserve(store);
    VectorRuns runs(views_of(keys), run());
    EXPECT_FALSE(store.fill(runs)) << repeat;
    EXPECT_EQ(store.node_count(), 0u);
    EXPECT_EQ(store.intern(src("s1")).value(), 0u);
    EXPECT_EQ(store.intern(src("s1")).value(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, Fill,
                         ::testing::Combine(::testing::Values(size_t{1}, size_t{7}, size_t{256}),
                                            ::testing::Values(size_t{0}, size_t{5000}, size_t{9000})));

TEST(FillRefuses, AStoreThatIsNotEmptyOrAnInputNotEarlier) {
  GraphStore full;
  ASSERT_TRUE(full.intern(src("a")).ok());
  VectorRuns some(views_of({src("b")}), 1);
  EXPECT_THROW(full.fill(some), InternalFault);

  // The input naming the op itself first, second or third in its list.
  for (std::vector<NodeId> inputs : {std::vector<NodeId>{1}, {0, 1}, {0, 0, 1}}) {
    const std::vector<NodeKey> keys = {src("a"), NodeKey::op("f", ParamMapView(), inputs), src("b")};
    GraphStore store;
    VectorRuns runs(views_of(keys), 256);
    EXPECT_THROW(store.fill(runs), InternalFault) << inputs.size();
  }
}

TEST(Reserve, ChangesNothingThatCanBeSeen) {
  GraphStore reserved, plain;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "k" + std::to_string(i);
    ASSERT_EQ(reserved.intern(src(name)).value(), plain.intern(src(name)).value());
  }
  reserved.reserve(3000);  // grows the table with 40 nodes already placed
  reserved.reserve(10);    // less than held: nothing to do
  for (int i = 0; i < 5000; ++i) {
    const std::string name = "k" + std::to_string(i % 2500);
    ASSERT_EQ(reserved.intern(src(name)).value(), plain.intern(src(name)).value()) << i;
  }
  EXPECT_EQ(reserved.node_count(), 2500u);
  std::vector<NodeKey> a = reserved.nodes(), b = plain.nodes();
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].record(), b[i].record());
}

}  // namespace
}  // namespace nodalis::ir
