// Interning by record: records encoded field by field must find exactly the
// ids that keys built by the factories find, under the same equality rules
// (NaN payloads one value, -0.0 apart), inline or spilled to the heap, in
// stores large enough for the huge-page tables.
#include "ir/node_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/fault.h"
#include "ir/graph_store.h"

namespace nodalis::ir {
namespace {

using Ids = std::vector<NodeId>;

NodeId must(Result<NodeId, BadNodeId> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : ~NodeId{0};
}

ParamRef nan_with_payload(uint64_t payload) { return ParamRef::of_float_bits(0x7FF0000000000000ull | payload); }

// One node described both ways: the record path with entries in the given
// (unsorted) order, and the factory path through ParamMap::make.
struct Node {
  NodeKind kind;
  std::string name;
  std::vector<ParamEntryRef> entries;
  Ids inputs;

  NodeKey key() const {
    ParamMapBuilder b;
    for (const auto& e : entries) b.add(e.key, e.value);
    std::string encoded;
    const ParamMapView params = b.finish(encoded);
    switch (kind) {
      case NodeKind::Source: return NodeKey::source(name, params);
      case NodeKind::Reduction: return NodeKey::reduction(name, params, inputs);
      case NodeKind::Exchange: return NodeKey::exchange(params, inputs);
      default: return NodeKey::op(name, params, inputs);
    }
  }
  NodeId intern_record(GraphStore& store) const {
    NodeRecord r;
    std::vector<ParamEntryRef> copy = entries;
    const std::span<ParamEntryRef> sorted_here(copy);
    switch (kind) {
      case NodeKind::Source: r.source(name, sorted_here); break;
      case NodeKind::Reduction: r.reduction(name, sorted_here, inputs); break;
      case NodeKind::Exchange: r.exchange(sorted_here, inputs); break;
      default: r.op(name, sorted_here, inputs); break;
    }
    return must(store.intern_record(r.view()));
  }
};

std::vector<Node> sample_nodes() {
  const std::string long_name(300, 'n');  // spills the record past its inline buffer
  static const std::string long_value(400, 'v');  // entries borrow their text
  return {
      {NodeKind::Source, "a", {}, {}},
      {NodeKind::Source, "b", {{"shape", ParamRef::of_int(3)}, {"dtype", ParamRef::of_str("f32")}}, {}},
      {NodeKind::Op, "mul", {{"scalar", ParamRef::of_float(1.5)}}, {0, 1}},
      {NodeKind::Op, "mul", {{"scalar", ParamRef::of_float(-0.0)}}, {0, 1}},
      {NodeKind::Op, "mul", {{"scalar", ParamRef::of_float(0.0)}}, {0, 1}},
      {NodeKind::Op, "mul", {{"scalar", ParamRef::of_float(1.5)}}, {1, 0}},
      {NodeKind::Op, "cmp", {{"z", ParamRef::of_bool(true)}, {"a", nan_with_payload(1)}, {"a", ParamRef::of_int(2)}}, {2}},
      {NodeKind::Reduction, "mul", {{"scalar", ParamRef::of_float(1.5)}}, {0, 1}},
      {NodeKind::Exchange, "", {{"axis", ParamRef::of_int(0)}}, {3}},
      {NodeKind::Op, long_name, {{"k", nan_with_payload(0x8000000000000ull)}}, {4, 5}},
      {NodeKind::Op, "many", {{"k", ParamRef::of_str(long_value)}}, Ids(40, 2)},
  };
}

TEST(NodeRecord, FindsTheIdsThatKeysFind) {
  const auto nodes = sample_nodes();
  GraphStore by_key, by_record, mixed;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const NodeId k = must(by_key.intern(nodes[i].key()));
    EXPECT_EQ(nodes[i].intern_record(by_record), k) << "node " << i;
    // Either path finds what the other stored, in the same store.
    const NodeId m = i % 2 ? nodes[i].intern_record(mixed) : must(mixed.intern(nodes[i].key()));
    EXPECT_EQ(m, k);
    EXPECT_EQ(i % 2 ? must(mixed.intern(nodes[i].key())) : nodes[i].intern_record(mixed), k);
  }
  const auto a = by_key.nodes(), b = by_record.nodes();
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].record(), b[i].record()) << "node " << i;
    EXPECT_EQ(a[i].has_nan(), b[i].has_nan());
    EXPECT_EQ(a[i].params().encoded(), b[i].params().encoded());
    EXPECT_EQ(a[i].inputs().to_vector(), b[i].inputs().to_vector());
    EXPECT_EQ(a[i], b[i]);
    EXPECT_EQ(a[i].hash(7), b[i].hash(7));
  }
}

TEST(NodeRecord, ExternalBuildsTheFactoryRecord) {
  // The descriptor's optional text is the layout's other branch; the bytes
  // and offsets must be the factory key's.
  const ParamMap axis = ParamMap::make({{"axis", ParamValue::Int(1)}});
  const Ids ins = {0, 1};
  NodeRecord r;
  for (const PayloadDescriptor& d : {PayloadDescriptor{"onnx", "h", "ort", "1", "io", std::nullopt},
                                     PayloadDescriptor{"onnx", "h", "ort", "1", "io", "prep"}}) {
    const PayloadDescriptorView v = view_of(d);
    r.external(v, {axis.view(), false}, ins);
    const NodeKey k = NodeKey::external(v, axis.view(), ins);
    EXPECT_EQ(r.view().bytes, k.record());
    EXPECT_EQ(r.view().params_off, k.view().params_off);
    EXPECT_EQ(r.view().inputs_off, k.view().inputs_off);
    EXPECT_EQ(NodeKey::from_trusted_record(r.view().bytes).descriptor(), v);
  }
}

TEST(NodeRecord, NaNPayloadsInternOnceAndSignedZerosApart) {
  GraphStore store;
  auto op = [&](ParamRef v) {
    NodeRecord r;
    std::vector<ParamEntryRef> e = {{"v", v}, {"w", ParamRef::of_int(1)}};
    r.source("x", std::span<ParamEntryRef>(e));
    return must(store.intern_record(r.view()));
  };
  const NodeId canonical = op(ParamRef::of_float_bits(kCanonicalNaNBits));
  EXPECT_EQ(op(nan_with_payload(1)), canonical);
  EXPECT_EQ(op(ParamRef::of_float_bits(0xFFF8000000000000ull)), canonical);
  EXPECT_EQ(op(nan_with_payload(0xFFFFFFFFFFFFFull)), canonical);
  // A stored NaN key found by a factory-built key with another payload.
  const ParamMap other = ParamMap::make({{"v", ParamValue::Float(-std::numeric_limits<double>::quiet_NaN())},
                                         {"w", ParamValue::Int(1)}});
  EXPECT_EQ(must(store.intern(NodeKey::source("x", other.view()))), canonical);
  EXPECT_NE(op(ParamRef::of_float(0.0)), op(ParamRef::of_float(-0.0)));
  EXPECT_NE(op(ParamRef::of_float_bits(0x7FF0000000000000ull)), canonical);  // +inf is no NaN
  EXPECT_EQ(store.node_count(), 4u);
}

TEST(NodeRecord, BadInputsChangeNothing) {
  GraphStore store;
  NodeRecord record;
  record.source("s", {ParamMapView(), false});
  ASSERT_EQ(must(store.intern_record(record.view())), 0u);

  record.op("f", {ParamMapView(), false}, Ids{0, 5, 9});
  const auto r = store.intern_record(record.view());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().id, 5u);
  EXPECT_EQ(store.node_count(), 1u);
  EXPECT_TRUE(store.intern(NodeKey::op("g", ParamMapView(), Ids{0})).ok());  // not poisoned
}

TEST(NodeRecord, EntriesSortStablyByKeyBytes) {
  // Unsigned bytes, a prefix first, duplicates in their given order; long
  // maps take the other sorting route.
  std::vector<std::pair<std::string, ParamValue>> owned;
  for (int i = 0; i < 40; ++i) {
    owned.push_back({std::string(1, static_cast<char>(i % 2 ? 0xE9 : 'a')) + std::to_string(i % 5),
                     ParamValue::Int(i)});
  }
  owned.push_back({"a", ParamValue::Int(-1)});
  for (size_t n : {size_t{3}, size_t{16}, owned.size()}) {
    std::vector<std::pair<std::string, ParamValue>> part(owned.begin(), owned.begin() + static_cast<long>(n));
    std::vector<ParamEntryRef> entries;
    for (const auto& [k, v] : part) entries.push_back({k, v.ref()});
    NodeRecord r;
    r.source("s", std::span<ParamEntryRef>(entries));
    EXPECT_EQ(r.view().params().encoded(), ParamMap::make(part).view().encoded()) << n << " entries";
  }
}

TEST(GraphStore, LargeTablesKeepEveryNode) {
  // 300k nodes take the table (2.4 MB of slots) and the node list onto
  // mapped huge-page blocks through several growths.
  GraphStore store;
  constexpr NodeId kNodes = 300000;
  auto record_of = [](NodeId i, auto&& use) {
    NodeRecord r;
    const NodeId in[2] = {i > 0 ? i - 1 : 0, i / 2};
    r.op("mul", {ParamMapView(), false}, std::span<const NodeId>(in, i > 0 ? 2 : 0));
    return use(r.view());
  };
  for (NodeId i = 0; i < kNodes; ++i)
    ASSERT_EQ(record_of(i, [&](const RecordView& v) { return must(store.intern_record(v)); }), i);
  for (NodeId i = kNodes; i-- > 0;)
    ASSERT_EQ(record_of(i, [&](const RecordView& v) { return must(store.intern_record(v)); }), i);
  EXPECT_EQ(store.node_count(), kNodes);
  EXPECT_EQ(store.snapshot_from(kNodes - 1).front().inputs().to_vector(), (Ids{kNodes - 2, (kNodes - 1) / 2}));
}

}  // namespace
}  // namespace nodalis::ir
