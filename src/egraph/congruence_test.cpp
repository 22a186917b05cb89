// The e-graph against a naive reference: random adds, unions and rebuilds,
// after each of which the partition must be exactly the smallest congruence
// containing the requested unions, and every class, the memo and the symbol
// index must be in canonical form.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "egraph/egraph.h"

namespace nodalis::egraph {
namespace {

// Congruence closure by brute force: every recorded (node, class) pair, a
// union-find over ids, and a fixpoint over all nodes until nothing merges.
class ReferenceClosure {
 public:
  void record_id(Id id) {
    while (parent_.size() <= id) parent_.push_back(static_cast<Id>(parent_.size()));
  }
  void record_node(const SymbolLang& node, Id cls) { nodes_.emplace_back(node, cls); }
  void record_union(Id a, Id b) { unite(a, b); }

  void close() {
    for (bool changed = true; changed;) {
      changed = false;
      std::map<std::pair<uint32_t, std::vector<Id>>, Id> seen;
      for (const auto& [node, cls] : nodes_) {
        std::vector<Id> kids;
        for (Id c : node.children()) kids.push_back(find(c));
        auto [it, fresh] = seen.try_emplace({node.op().raw(), kids}, cls);
        if (!fresh && find(it->second) != find(cls)) {
          unite(it->second, cls);
          changed = true;
        }
      }
    }
  }

  Id find(Id id) {
    while (parent_[id] != id) id = parent_[id];
    return id;
  }

 private:
  void unite(Id a, Id b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[a] = b;
  }
  std::vector<Id> parent_;
  std::vector<std::pair<SymbolLang, Id>> nodes_;
};

void expect_canonical(const EGraph& g) {
  ASSERT_TRUE(g.clean());
  std::map<GlobalSymbol, std::set<Id>> holders;
  uint64_t classes = 0;
  g.for_each_class([&](const EClass& ec) {
    ++classes;
    for (size_t k = 0; k < ec.nodes.size(); ++k) {
      const SymbolLang& n = ec.nodes[k];
      if (k > 0) {
        EXPECT_LT(ec.nodes[k - 1], n) << "sorted and without duplicates";
      }
      for (Id c : n.children()) EXPECT_EQ(g.find(c), c) << "children are roots";
      EXPECT_EQ(g.lookup(n), ec.id) << "every canonical node is in the memo";
      holders[n.op()].insert(ec.id);
    }
  });
  EXPECT_EQ(classes, g.class_count());
  for (const auto& [op, ids] : holders) {
    std::set<Id> listed;
    for (Id id : g.classes_with_op(op)) EXPECT_TRUE(listed.insert(id).second) << "listed once";
    EXPECT_EQ(listed, ids);
  }
}

class Congruence : public testing::TestWithParam<uint32_t> {};

TEST_P(Congruence, RebuildYieldsTheSmallestCongruence) {
  std::mt19937 rng(GetParam());
  EGraph g;
  ReferenceClosure ref;
  const GlobalSymbol ops[] = {SymbolTable::intern("f"), SymbolTable::intern("g"), SymbolTable::intern("h")};
  std::vector<Id> ids;
  auto add = [&](SymbolLang node) {
    Id id = g.add(node);
    ref.record_id(id);
    ref.record_node(node, id);
    ids.push_back(id);
  };
  for (int i = 0; i < 12; ++i) add({SymbolTable::intern("leaf" + std::to_string(i)), {}});
  for (int round = 0; round < 8; ++round) {
    int adds = 40 + static_cast<int>(rng() % 60);
    for (int k = 0; k < adds; ++k) {
      uint32_t arity = 1 + rng() % 3;
      std::vector<Id> kids;
      for (uint32_t j = 0; j < arity; ++j) kids.push_back(ids[rng() % ids.size()]);
      add({ops[rng() % 3], std::span<const Id>(kids)});
    }
    int unions = static_cast<int>(rng() % 6);  // some rounds only add
    for (int k = 0; k < unions; ++k) {
      Id a = ids[rng() % ids.size()], b = ids[rng() % ids.size()];
      g.merge(a, b);
      ref.record_union(a, b);
    }
    g.rebuild();
    ref.close();
    // The two partitions agree exactly: a bijection between roots.
    std::map<Id, Id> mine_to_ref, ref_to_mine;
    for (Id id = 0; id < g.id_count(); ++id) {
      Id m = g.find(id), r = ref.find(id);
      auto [a, fa] = mine_to_ref.try_emplace(m, r);
      auto [b, fb] = ref_to_mine.try_emplace(r, m);
      ASSERT_EQ(a->second, r) << "id " << id << " round " << round;
      ASSERT_EQ(b->second, m) << "id " << id << " round " << round;
    }
    expect_canonical(g);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Congruence, testing::Range(1u, 13u));

}  // namespace
}  // namespace nodalis::egraph
