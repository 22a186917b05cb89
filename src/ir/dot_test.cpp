// DOT rendering: exact text for small stores, label forms of every kind and
// the escaping of quotes and backslashes.
#include <gtest/gtest.h>

#include "ir/dot.h"

namespace nodalis::ir {
namespace {

using Ids = std::vector<NodeId>;

ParamMap pm(std::vector<std::pair<std::string, ParamValue>> e) { return ParamMap::make(std::move(e)); }

NodeId add(GraphStore& store, NodeKey key) {
  auto r = store.intern(std::move(key));
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : 0;
}

// The node line of a store holding one node.
std::string single_line(NodeKey key) {
  GraphStore store;
  add(store, std::move(key));
  const std::string dot = store.read(to_dot);
  const size_t start = dot.find('\n') + 1;
  return dot.substr(start, dot.find('\n', start) - start);
}

TEST(Dot, EmptyStore) { EXPECT_EQ(GraphStore().read(to_dot), "digraph nodalis {\n}\n"); }

TEST(Dot, Example) {
  GraphStore store;
  const NodeId x = add(store, NodeKey::source("x", ParamMapView()));
  const NodeId op = add(store, NodeKey::op("add", pm({{"alpha", ParamValue::Int(1)}}).view(), Ids{x, x}));
  ASSERT_TRUE(store.mark_output(op).ok());
  EXPECT_EQ(store.read(to_dot),
            "digraph nodalis {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op add {alpha=1}\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "  n0 -> n1;\n"
            "}\n");
  // A snapshot taken under the lock renders the same text without it.
  EXPECT_EQ(to_dot(store.snapshot().view()), store.read(to_dot));
}

TEST(Dot, EdgesFollowAllNodesGroupedByConsumer) {
  GraphStore store;
  const NodeId a = add(store, NodeKey::source("a", ParamMapView()));
  const NodeId b = add(store, NodeKey::source("b", ParamMapView()));
  const NodeId s = add(store, NodeKey::stage(Ids{b, a}, std::vector<StageOp>{{"op|add", {StageRef::input(0), StageRef::input(1)}}}));
  add(store, NodeKey::exchange(ParamMapView(), Ids{s}));
  ASSERT_TRUE(store.mark_output(3).ok());
  ASSERT_TRUE(store.mark_output(0).ok());
  EXPECT_EQ(store.read(to_dot),
            "digraph nodalis {\n"
            "  n0 [label=\"Source a\", shape=doublecircle];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Stage[1 members]\"];\n"
            "  n3 [label=\"Exchange\", shape=doublecircle];\n"
            "  n1 -> n2;\n"
            "  n0 -> n2;\n"
            "  n2 -> n3;\n"
            "}\n");
}

struct LabelCase {
  const char* what;
  NodeKey key;
  std::string line;
};

TEST(Dot, LabelsOfEveryKind) {
  const PayloadDescriptor d{"model", "sha:1", "torch", "2.1", "f32->f32", std::string("pre")};
  const std::vector<StageOp> three = {{"op|neg", {StageRef::input(0)}}, {"op|abs", {StageRef::member(0)}},
                                      {"op|exp", {StageRef::member(1)}}};
  const LabelCase cases[] = {
      {"source with params", NodeKey::source("x", pm({{"dtype", ParamValue::Str("f32")}}).view()),
       "  n0 [label=\"Source x {dtype=\\\"f32\\\"}\"];"},
      {"reduction", NodeKey::reduction("sum", pm({{"axis", ParamValue::Int(-1)}}).view(), Ids{}),
       "  n0 [label=\"Reduction sum {axis=-1}\"];"},
      {"op in stored order", NodeKey::op("f", pm({{"b", ParamValue::Bool(true)}, {"a", ParamValue::Float(2.5)}}).view(), Ids{}),
       "  n0 [label=\"Op f {a=2.5, b=true}\"];"},
      {"external", NodeKey::external(view_of(d), ParamMapView(), Ids{}),
       "  n0 [label=\"External model:sha:1 [torch 2.1]\"];"},
      {"external with params", NodeKey::external(view_of(d), pm({{"k", ParamValue::Float(1.0)}}).view(), Ids{}),
       "  n0 [label=\"External model:sha:1 [torch 2.1] {k=1}\"];"},
      {"stage", NodeKey::stage(Ids{}, three), "  n0 [label=\"Stage[3 members]\"];"},
      {"exchange with params", NodeKey::exchange(pm({{"scheme", ParamValue::Str("hash")}}).view(), Ids{}),
       "  n0 [label=\"Exchange {scheme=\\\"hash\\\"}\"];"},
      {"quote in name", NodeKey::source("a\"b", ParamMapView()), "  n0 [label=\"Source a\\\"b\"];"},
      {"backslash in name", NodeKey::source("a\\b", ParamMapView()), "  n0 [label=\"Source a\\\\b\"];"},
      {"escapes in a string value", NodeKey::op("f", pm({{"s", ParamValue::Str("q\"\n")}}).view(), Ids{}),
       "  n0 [label=\"Op f {s=\\\"q\\\\\\\"\\\\n\\\"}\"];"},
      {"line feed in a name passes", NodeKey::source("a\nb", ParamMapView()), "  n0 [label=\"Source a\nb\"];"},
  };
  for (const auto& c : cases) {
    if (std::string(c.what) == "line feed in a name passes") {
      GraphStore store;
      add(store, c.key);
      EXPECT_EQ(store.read(to_dot), "digraph nodalis {\n" + c.line + "\n}\n") << c.what;
    } else {
      EXPECT_EQ(single_line(c.key), c.line) << c.what;
    }
  }
}

}  // namespace
}  // namespace nodalis::ir
