// Node keys: tokens and field access for all six kinds, equality and hash
// agreement, input replacement, adopted records, op token parsing and the
// 32-bit limits.
#include "ir/node_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>

#include "base/fault.h"
#include "ir/key_arena.h"

namespace nodalis::ir {
namespace {

using Ids = std::vector<NodeId>;

ParamMap pm(std::vector<std::pair<std::string, ParamValue>> e) { return ParamMap::make(std::move(e)); }

PayloadDescriptor desc(std::optional<std::string> pre = std::nullopt) {
  return {"model", "sha256:ab", "torch", "2.1", "f32[3]->f32", std::move(pre)};
}

const ParamMap kMulParams = pm({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(1.0)}});

TEST(NodeKey, TokensOfEveryKind) {
  EXPECT_EQ(NodeKey::source("a|b", ParamMapView()).token(), "src|a%7Cb");
  EXPECT_EQ(NodeKey::source("x", pm({{"dtype", ParamValue::Str("f32")}}).view()).token(), "src|x|dtype=sf32");
  EXPECT_EQ(NodeKey::op("add", ParamMapView(), Ids{0, 1}).token(), "op|add");
  EXPECT_EQ(NodeKey::op("mul", kMulParams.view(), Ids{0}).token(), "op|mul|scalar=f3ff0000000000000;side=sr");
  EXPECT_EQ(NodeKey::reduction("sum", pm({{"axis", ParamValue::Int(0)}}).view(), Ids{0}).token(),
            "red|sum|axis=i0");
  EXPECT_EQ(NodeKey::external(view_of(desc()), ParamMapView(), Ids{}).token(),
            "ext|model|sha256:ab|torch|2.1|f32[3]->f32|-");
  EXPECT_EQ(NodeKey::external(view_of(desc("")), pm({{"k", ParamValue::Int(1)}}).view(), Ids{0}).token(),
            "ext|model|sha256:ab|torch|2.1|f32[3]->f32||k=i1");
  const std::vector<StageOp> members = {{"op|neg", {StageRef::input(0)}},
                                        {"op|add", {StageRef::member(0), StageRef::input(1)}},
                                        {"op|a%7Cb", {}}};
  EXPECT_EQ(NodeKey::stage(Ids{0, 1}, members).token(), "stage|3");
  EXPECT_EQ(NodeKey::exchange(ParamMapView(), Ids{0}).token(), "exch");
  EXPECT_EQ(NodeKey::exchange(pm({{"scheme", ParamValue::Str("hash")}}).view(), Ids{0}).token(),
            "exch|scheme=shash");
  EXPECT_EQ(NodeKey::op("", ParamMapView(), Ids{}).token(), "op|");
  // A token longer than the room its writer takes at first, crossing it
  // inside a piece; appended after text already there.
  const std::string name(60, 'n');
  const NodeKey long_op = NodeKey::op(name, pm({{"k", ParamValue::Str("v;v;v;v;v;")}, {"j", ParamValue::Int(-7)}}).view(), Ids{0});
  const std::string expected = "op|" + name + "|j=i-7;k=sv%3Bv%3Bv%3Bv%3Bv%3B";
  EXPECT_EQ(long_op.token(), expected);
  std::string appended = "x";
  long_op.append_token(appended);
  EXPECT_EQ(appended, "x" + expected);
}

TEST(NodeKey, ExternalTokenInsertsDescriptorTextsUnescaped) {
  // "-" as a preprocessing ref reads like an absent one in the token only.
  const NodeKey absent = NodeKey::external(view_of(desc()), ParamMapView(), Ids{});
  const NodeKey dash = NodeKey::external(view_of(desc("-")), ParamMapView(), Ids{});
  EXPECT_EQ(absent.token(), dash.token());
  EXPECT_NE(absent, dash);
  PayloadDescriptor d = desc("a|b;c");
  EXPECT_EQ(NodeKey::external(view_of(d), ParamMapView(), Ids{}).token(),
            "ext|model|sha256:ab|torch|2.1|f32[3]->f32|a|b;c");
}

TEST(NodeKey, FieldsReadBack) {
  const NodeKey op = NodeKey::op("mul", kMulParams.view(), Ids{3, 1, 3});
  EXPECT_EQ(op.kind(), NodeKind::Op);
  EXPECT_EQ(op.name(), "mul");
  EXPECT_EQ(op.params(), kMulParams.view());
  EXPECT_EQ(op.inputs().to_vector(), (Ids{3, 1, 3}));
  EXPECT_EQ(op.members().size(), 0u);

  const NodeKey src = NodeKey::source("x", kMulParams.view());
  EXPECT_TRUE(src.inputs().empty());
  EXPECT_EQ(src.params(), kMulParams.view());

  const NodeKey ext = NodeKey::external(view_of(desc("")), kMulParams.view(), Ids{0});
  EXPECT_EQ(ext.descriptor().to_owned(), desc(""));
  EXPECT_EQ(ext.name(), "");
  EXPECT_EQ(ext.params(), kMulParams.view());
  EXPECT_EQ(ext.inputs().to_vector(), (Ids{0}));

  const std::vector<StageOp> members = {{"op|neg", {StageRef::input(0)}},
                                        {"op|mul|scalar=f3ff0000000000000;side=sr",
                                         {StageRef::member(0), StageRef::input(1)}}};
  const NodeKey stage = NodeKey::stage(Ids{5, 6}, members);
  EXPECT_EQ(stage.inputs().to_vector(), (Ids{5, 6}));
  EXPECT_EQ(stage.members().to_owned(), members);
  EXPECT_TRUE(stage.params().empty());
  EXPECT_EQ(stage.name(), "");

  const NodeKey exch = NodeKey::exchange(kMulParams.view(), Ids{2});
  EXPECT_EQ(exch.params(), kMulParams.view());
  EXPECT_EQ(exch.inputs().to_vector(), (Ids{2}));

  EXPECT_EQ(kind_name(NodeKind::Reduction), "reduction");
  EXPECT_EQ(kind_name(NodeKind::Exchange), "exchange");
}

std::vector<NodeKey> distinct_keys() {
  const ParamMap nan_params = pm({{"s", ParamValue::Float(std::numeric_limits<double>::quiet_NaN())}});
  return {
      NodeKey::source("x", ParamMapView()),
      NodeKey::source("y", ParamMapView()),
      NodeKey::source("x", pm({{"a", ParamValue::Int(1)}}).view()),
      NodeKey::source("x", pm({{"a", ParamValue::Float(1.0)}}).view()),
      NodeKey::source("x", pm({{"a", ParamValue::Float(0.0)}}).view()),
      NodeKey::source("x", pm({{"a", ParamValue::Float(-0.0)}}).view()),
      NodeKey::op("x", ParamMapView(), Ids{}),
      NodeKey::op("add", ParamMapView(), Ids{0, 1}),
      NodeKey::op("add", ParamMapView(), Ids{1, 0}),
      NodeKey::op("add", ParamMapView(), Ids{1, 1}),
      NodeKey::op("add", ParamMapView(), Ids{1}),
      NodeKey::reduction("add", ParamMapView(), Ids{0, 1}),
      NodeKey::op("mul", nan_params.view(), Ids{0}),
      NodeKey::op("mul", nan_params.view(), Ids{1}),
      NodeKey::op("mul", kMulParams.view(), Ids{0}),
      NodeKey::external(view_of(desc()), ParamMapView(), Ids{}),
      NodeKey::external(view_of(desc("")), ParamMapView(), Ids{}),
      NodeKey::external(view_of(desc("-")), ParamMapView(), Ids{}),
      NodeKey::external(view_of({"model", "sha256:ac", "torch", "2.1", "f32[3]->f32", std::nullopt}),
                        ParamMapView(), Ids{}),
      NodeKey::external(view_of({"model", "sha256:ab", "torch", "2.1", "f32[3]->f64", std::nullopt}),
                        ParamMapView(), Ids{}),
      NodeKey::stage(Ids{0}, std::vector<StageOp>{{"op|neg", {StageRef::input(0)}}}),
      NodeKey::stage(Ids{0}, std::vector<StageOp>{{"op|neg", {StageRef::member(0)}}}),
      NodeKey::stage(Ids{0}, std::vector<StageOp>{{"op|abs", {StageRef::input(0)}}}),
      NodeKey::stage(Ids{0}, std::vector<StageOp>{}),
      NodeKey::exchange(ParamMapView(), Ids{0}),
      NodeKey::exchange(ParamMapView(), Ids{}),
  };
}

TEST(NodeKey, DistinctKeysAreUnequal) {
  const auto keys = distinct_keys();
  for (size_t i = 0; i < keys.size(); ++i) {
    for (size_t j = 0; j < keys.size(); ++j) {
      EXPECT_EQ(keys[i] == keys[j], i == j) << i << " vs " << j;
    }
  }
}

TEST(NodeKey, EqualKeysHashEqually) {
  auto nan_bits = [](uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, 8);
    return pm({{"w", ParamValue::Int(2)}, {"s", ParamValue::Float(d)}});
  };
  const std::vector<std::pair<NodeKey, NodeKey>> pairs = {
      {NodeKey::op("add", pm({{"a", ParamValue::Int(1)}, {"b", ParamValue::Str("s")}}).view(), Ids{0, 0}),
       NodeKey::op("add", pm({{"b", ParamValue::Str("s")}, {"a", ParamValue::Int(1)}}).view(), Ids{0, 0})},
      {NodeKey::op("mul", nan_bits(0x7FF8000000000000ull).view(), Ids{1, 2}),
       NodeKey::op("mul", nan_bits(0xFFF0000000000001ull).view(), Ids{1, 2})},
      {NodeKey::external(view_of(desc()), nan_bits(0x7FF0000000000abcull).view(), Ids{3}),
       NodeKey::external(view_of(desc()), nan_bits(0x7FF8000000000000ull).view(), Ids{3})},
      {NodeKey::exchange(nan_bits(0x7FF0000000000001ull).view(), Ids{}),
       NodeKey::exchange(nan_bits(0x7FFFFFFFFFFFFFFFull).view(), Ids{})},
      {NodeKey::source("s", nan_bits(0x7FF0000000000001ull).view()),
       NodeKey::source("s", nan_bits(0xFFFFFFFFFFFFFFFFull).view())},
  };
  for (const auto& [a, b] : pairs) {
    EXPECT_EQ(a, b) << a.token();
    EXPECT_EQ(a.token(), b.token());
    for (uint64_t seed : {0ull, 99ull, ~0ull}) EXPECT_EQ(a.hash(seed), b.hash(seed)) << a.token();
  }
  // NaN keys still tell apart what follows the map.
  EXPECT_NE(pairs[1].first, NodeKey::op("mul", nan_bits(0x7FF8000000000000ull).view(), Ids{1, 3}));
  EXPECT_NE(pairs[1].first, NodeKey::reduction("mul", nan_bits(0x7FF8000000000000ull).view(), Ids{1, 2}));
}

TEST(NodeKey, CopiesShareAndSurviveTheOriginal) {
  NodeKey copy;
  {
    const NodeKey original = NodeKey::op("add", kMulParams.view(), Ids{0, 1});
    copy = original;
    NodeKey moved = NodeKey(original);
    EXPECT_EQ(moved.record().data(), original.record().data());
  }
  EXPECT_EQ(copy.token(), "op|add|scalar=f3ff0000000000000;side=sr");
  EXPECT_EQ(copy.inputs().to_vector(), (Ids{0, 1}));
}

TEST(NodeKey, WithInputs) {
  const NodeKey src = NodeKey::source("x", kMulParams.view());
  const NodeKey op = NodeKey::op("mul", kMulParams.view(), Ids{0, 1});
  const std::vector<StageOp> members = {{"op|neg", {StageRef::input(0)}}, {"op|abs", {StageRef::member(0)}}};
  const NodeKey ext = NodeKey::external(view_of(desc("p")), kMulParams.view(), Ids{1});
  // Each copy made alone, then in an arena that is gone before they are read.
  for (const bool in_arena : {false, true}) {
    SCOPED_TRACE(in_arena ? "in an arena" : "alone");
    auto arena = std::make_unique<KeyArena>();
    KeyArena* at = in_arena ? arena.get() : nullptr;
    const std::vector<NodeKey> made = {
        src.with_inputs(Ids{4, 5}, at),
        op.with_inputs(Ids{7, 7, 2}, at),
        op.with_inputs(Ids{}, at),
        NodeKey::stage(Ids{1}, members).with_inputs(Ids{8, 9}, at),
        ext.with_inputs(Ids{2}, at),
        NodeKey::exchange(kMulParams.view(), Ids{1}).with_inputs(Ids{3}, at),
        NodeKey::reduction("sum", kMulParams.view(), Ids{1}).with_inputs(Ids{3}, at),
    };
    arena.reset();
    EXPECT_EQ(made[0], src);
    EXPECT_TRUE(made[0].inputs().empty());
    EXPECT_EQ(made[1], NodeKey::op("mul", kMulParams.view(), Ids{7, 7, 2}));
    EXPECT_EQ(op.inputs().to_vector(), (Ids{0, 1}));  // the original is untouched
    EXPECT_EQ(made[2], NodeKey::op("mul", kMulParams.view(), Ids{}));
    EXPECT_EQ(made[3], NodeKey::stage(Ids{8, 9}, members));
    EXPECT_EQ(made[4], NodeKey::external(view_of(desc("p")), kMulParams.view(), Ids{2}));
    EXPECT_EQ(made[5], NodeKey::exchange(kMulParams.view(), Ids{3}));
    EXPECT_EQ(made[6], NodeKey::reduction("sum", kMulParams.view(), Ids{3}));
    EXPECT_EQ(made[4].descriptor().kind, ext.descriptor().kind);
    EXPECT_EQ(made[6].params(), kMulParams.view());
  }
}

TEST(NodeKey, AdoptedRecordsEqualBuiltKeys) {
  for (const NodeKey& key : distinct_keys()) {
    const NodeKey adopted = NodeKey::from_trusted_record(key.record());
    EXPECT_EQ(adopted, key) << key.token();
    EXPECT_EQ(adopted.hash(5), key.hash(5)) << key.token();
    EXPECT_EQ(adopted.token(), key.token());
    EXPECT_EQ(adopted.has_nan(), key.has_nan());
    EXPECT_EQ(adopted.params(), key.params());
    EXPECT_EQ(adopted.inputs().to_vector(), key.inputs().to_vector());
    EXPECT_EQ(adopted.descriptor(), key.descriptor());
    EXPECT_EQ(adopted.members().to_owned(), key.members().to_owned());
  }
  EXPECT_THROW(NodeKey::from_trusted_record(std::string_view("\x09", 1)), InternalFault);
}

TEST(NodeKey, RefusesIndexesPast32Bits) {
  const std::vector<StageOp> members = {{"op|neg", {StageRef::input(uint64_t{1} << 32)}}};
  EXPECT_THROW(NodeKey::stage(Ids{0}, members), CapacityError);
  const std::vector<StageOp> fits = {{"op|neg", {StageRef::input(0xFFFFFFFFull)}}};
  EXPECT_EQ(NodeKey::stage(Ids{0}, fits).members().to_owned(), fits);
}

struct OpTokenCase {
  std::string token;
  bool ok;
  std::string kind, name;
  std::string params_token;
  friend void PrintTo(const OpTokenCase& c, std::ostream* os) { *os << '"' << c.token << '"'; }
};

class ParseOpToken : public ::testing::TestWithParam<OpTokenCase> {};

TEST_P(ParseOpToken, SplitsOrRefuses) {
  const auto& c = GetParam();
  const auto parsed = parse_op_token(c.token);
  ASSERT_EQ(parsed.has_value(), c.ok) << c.token;
  if (!parsed) return;
  EXPECT_EQ(parsed->kind, c.kind);
  EXPECT_EQ(parsed->name, c.name);
  EXPECT_EQ(parsed->params.token(), c.params_token);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, ParseOpToken,
    ::testing::Values(OpTokenCase{"op|add", true, "op", "add", ""}, OpTokenCase{"op|add|", true, "op", "add", ""},
                      OpTokenCase{"red|sum|axis=i0", true, "red", "sum", "axis=i0"},
                      OpTokenCase{"op|a%7Cb", true, "op", "a|b", ""}, OpTokenCase{"op|", true, "op", "", ""},
                      OpTokenCase{"op|mul|side=sr;scalar=f3ff0000000000000", true, "op", "mul",
                                  "scalar=f3ff0000000000000;side=sr"},
                      OpTokenCase{"op|f|k=sa|b", true, "op", "f", "k=sa%7Cb"}, OpTokenCase{"src|x", false, "", "", ""},
                      OpTokenCase{"op", false, "", "", ""}, OpTokenCase{"", false, "", "", ""},
                      OpTokenCase{"OP|add", false, "", "", ""}, OpTokenCase{"ext|a|b|c|d|e|f", false, "", "", ""},
                      OpTokenCase{"op|add|scalar", false, "", "", ""},
                      OpTokenCase{"stage|3", false, "", "", ""}));

TEST(ParseOpToken, InvertsTokensOfOpsAndReductions) {
  for (const NodeKey& key : {NodeKey::op("m|u;l=%", kMulParams.view(), Ids{}),
                             NodeKey::reduction("", pm({{"", ParamValue::Str("|")}}).view(), Ids{}),
                             NodeKey::op("plain", ParamMapView(), Ids{})}) {
    const auto parsed = parse_op_token(key.token());
    ASSERT_TRUE(parsed) << key.token();
    EXPECT_EQ(parsed->name, key.name());
    EXPECT_EQ(parsed->params.view(), key.params());
  }
}

TEST(WithParams, AppendsOnlyNonEmptyMaps) {
  EXPECT_EQ(with_params("op|add", ParamMapView()), "op|add");
  EXPECT_EQ(with_params("op|mul", kMulParams.view()), "op|mul|scalar=f3ff0000000000000;side=sr");
}

}  // namespace
}  // namespace nodalis::ir
