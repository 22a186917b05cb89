// The encoder's exact bytes and the round trip: a decoded blob re-encodes to
// the same bytes with the same ids, marks and float bit patterns.
#include "blob/encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/fault.h"
#include "blob/blob_sample.h"
#include "blob/decoder.h"

namespace nodalis::blob {
namespace {

using ir::NodeKey;
using ir::ParamMap;

std::unique_ptr<ir::GraphStore> decode(std::string_view blob) {
  auto r = deserialize(blob);
  if (!r) ADD_FAILURE() << r.error().display();
  return r ? std::move(r.value()) : std::make_unique<ir::GraphStore>();
}

TEST(Encoder, EmptyStoreIsTwelveBytes) {
  ir::GraphStore store;
  std::string blob = serialize_with(store, {});
  EXPECT_EQ(to_hex(blob), "4E 49 52 31 00 00 00 00 00 00 00 00");
  auto back = decode(blob);
  EXPECT_EQ(back->node_count(), 0u);
  EXPECT_TRUE(back->outputs().empty());
}

TEST(Encoder, MarkedSourceMatchesTheReferenceBytes) {
  ir::GraphStore store;
  ASSERT_EQ(must(store.intern(NodeKey::source("x", ParamMap().view()))), 0u);
  ir::NodeId outputs[] = {0};
  std::string blob = serialize_with(store, outputs);
  EXPECT_EQ(blob, from_hex("4E 49 52 31, 01 00 00 00, 00, 01 00 00 00, 78, 00 00 00 00, 01 00 00 00,"
                           "00 00 00 00 00 00 00 00"));
  auto back = decode(blob);
  EXPECT_EQ(back->node_count(), 1u);
  EXPECT_EQ(back->outputs(), std::vector<ir::NodeId>{0});
}

TEST(Encoder, StageRecordMatchesTheReferenceBytes) {
  std::vector<ir::StageOp> members = {{"op|neg", {ir::StageRef::input(0)}}};
  ir::NodeId inputs[] = {0};
  NodeKey stage = NodeKey::stage(inputs, members);
  EXPECT_EQ(to_hex(stage.record()),
            to_hex(from_hex("04, 01 00 00 00, 00 00 00 00 00 00 00 00, 01 00 00 00, 06 00 00 00,"
                            "6F 70 7C 6E 65 67, 01 00 00 00, 00, 00 00 00 00")));

  ir::GraphStore store;
  must(store.intern(NodeKey::source("x", ParamMap().view())));
  must(store.intern(stage));
  std::string blob = serialize_with(store, {});
  EXPECT_EQ(serialize_with(*decode(blob), {}), blob);
}

TEST(Encoder, ParamsAreTheMapsOwnEncoding) {
  ParamMap map = ParamMap::make({{"b", ir::ParamValue::Bool(true)}, {"a", ir::ParamValue::Int(-2)}});
  std::string buffer = "prefix";
  put_params(buffer, map.view());
  EXPECT_EQ(to_hex(buffer),
            to_hex("prefix" + from_hex("02 00 00 00, 01 00 00 00 61, 00, FE FF FF FF FF FF FF FF,"
                                       "01 00 00 00 62, 02, 01")));
}

TEST(Encoder, OutputSectionIsExactlyTheGivenList) {
  auto store = sample_store();
  ir::NodeId repeated[] = {2, 0, 2};
  std::string blob = serialize_with(*store, repeated);
  std::string tail = blob.substr(blob.size() - 28);
  EXPECT_EQ(to_hex(tail), "03 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                          "02 00 00 00 00 00 00 00");
  // Decoding marks each id once, in first-seen order.
  EXPECT_EQ(decode(blob)->outputs(), (std::vector<ir::NodeId>{2, 0}));
  // An empty list writes no outputs even though the store has marks.
  std::string none = serialize_with(*store, {});
  EXPECT_EQ(to_hex(none.substr(none.size() - 4)), "00 00 00 00");
  EXPECT_TRUE(decode(none)->outputs().empty());
  EXPECT_EQ(store->outputs().size(), 2u);  // the store's marks are untouched
}

TEST(Encoder, CountsBeyondThirtyTwoBitsAreRefused) {
  const size_t max = 0xFFFFFFFFull;
  EXPECT_NO_THROW(check_blob_counts(max, max));
  EXPECT_THROW(check_blob_counts(max + 1, 0), CapacityError);
  EXPECT_THROW(check_blob_counts(0, max + 1), CapacityError);
}

TEST(RoundTrip, SampleStoreComesBackByteForByte) {
  auto store = sample_store();
  ir::StoreSnapshot snap = store->snapshot();
  std::string blob = encode_nodes(snap.nodes, snap.outputs);
  auto back = decode(blob);
  ir::StoreSnapshot again = back->snapshot();
  ASSERT_EQ(again.nodes.size(), snap.nodes.size());
  for (size_t i = 0; i < snap.nodes.size(); ++i) {
    EXPECT_EQ(again.nodes[i].record(), snap.nodes[i].record()) << "node " << i;
    EXPECT_TRUE(same_as_adopted(again.nodes[i])) << "node " << i;
  }
  EXPECT_EQ(again.outputs, snap.outputs);
  EXPECT_EQ(encode_nodes(again.nodes, again.outputs), blob);
}

TEST(RoundTrip, FloatBitPatternsSurvive) {
  auto back = decode(serialize_with(*sample_store(), {}));
  std::vector<uint64_t> bits;
  for (auto entry : back->nodes()[0].params()) {
    if (entry.value.tag == ir::ParamTag::Float) bits.push_back(entry.value.bits);
  }
  // Keys in order: nan_payload, neg_nan, neg_zero.
  EXPECT_EQ(bits, (std::vector<uint64_t>{0x7FF0000000000123ull, 0xFFF8000000000001ull,
                                         0x8000000000000000ull}));
}

}  // namespace
}  // namespace nodalis::blob
