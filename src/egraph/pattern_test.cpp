// Patterns from text to matches: the reader's accepted and rejected forms,
// compaction, the compiled program's shape, searching with limits, applying,
// and the unbound-variable check of Rewrite.
#include "egraph/pattern.h"

#include <gtest/gtest.h>

#include <random>

#include "base/fault.h"
#include "egraph/rewrite.h"

namespace nodalis::egraph {
namespace {

GlobalSymbol sym(const char* text) { return SymbolTable::intern(text); }
Var var(const char* text) { return Var{SymbolTable::intern(text)}; }

std::shared_ptr<const Pattern> pat(std::string_view text) {
  auto p = Pattern::parse(text);
  if (!p) throw std::runtime_error("bad test pattern " + std::string(text) + ": " + p.error());
  return std::make_shared<const Pattern>(std::move(p).value());
}

uint64_t total(const std::vector<SearchMatches>& ms) {
  uint64_t n = 0;
  for (const auto& m : ms) n += m.substs.size();
  return n;
}

struct ParseCase {
  const char* text;
  const char* sexp;  // nullptr: must fail
};

class PatternParse : public testing::TestWithParam<ParseCase> {};

TEST_P(PatternParse, ReadsOrRejects) {
  const ParseCase& c = GetParam();
  auto p = Pattern::parse(c.text);
  if (c.sexp == nullptr) {
    EXPECT_FALSE(p.ok()) << c.text;
    if (!p) {
      EXPECT_FALSE(p.error().empty());
    }
  } else {
    ASSERT_TRUE(p.ok()) << c.text << ": " << p.error();
    EXPECT_EQ(p.value().to_string(), c.sexp);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PatternParse,
    testing::Values(ParseCase{"(op|add ?a ?b)", "(op|add ?a ?b)"},
                    ParseCase{"  \n(op|mul|scalar=f3ff0000000000000;side=sl ?x)\t ",
                              "(op|mul|scalar=f3ff0000000000000;side=sl ?x)"},
                    ParseCase{"?x", "?x"}, ParseCase{"x", "x"}, ParseCase{"?", "?"}, ParseCase{"(f)", "f"},
                    ParseCase{"(f \t?a\n  (g ?b))", "(f ?a (g ?b))"},
                    // A tab inside an atom belongs to it; a space ends it.
                    ParseCase{"(f\t?a (g ?b))", "(f\t?a (g ?b))"},
                    ParseCase{"(f a\tb)", "(f a\tb)"}, ParseCase{"(\"f g\" ?a)", "(f g ?a)"},
                    ParseCase{"", nullptr}, ParseCase{"   ", nullptr}, ParseCase{"()", nullptr},
                    ParseCase{"((f) a)", nullptr}, ParseCase{"(?x a)", nullptr}, ParseCase{"(?x)", nullptr},
                    ParseCase{"(f a", nullptr}, ParseCase{"(f a))", nullptr}, ParseCase{")", nullptr},
                    ParseCase{"f g", nullptr}, ParseCase{"(f \"a)", nullptr}),
    [](const testing::TestParamInfo<ParseCase>& case_info) { return "text" + std::to_string(case_info.index); });

TEST(PatternParse, RandomTextsEitherFailOrPrintBackToThemselves) {
  // Whatever the reader accepts must print as a pattern that reads back to
  // the same pattern; nothing it is given may crash it.
  const char alphabet[] = {'(', ')', ' ', '\t', '\n', '?', '?', 'a', 'b', '|'};
  std::mt19937 rng(11);
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    size_t len = 1 + rng() % 16;
    for (size_t k = 0; k < len; ++k) text += alphabet[rng() % sizeof alphabet];
    auto p = Pattern::parse(text);
    if (!p) continue;
    ++accepted;
    std::string printed = p.value().to_string();
    // A lone symbol is printed bare; the list form keeps a trailing tab of
    // its text from being trimmed as surrounding whitespace.
    const ENodeOrVar& root = p.value().ast().back();
    bool bare = !root.is_var() && root.node().arity() == 0;
    auto again = Pattern::parse(bare ? "(" + printed + ")" : printed);
    ASSERT_TRUE(again.ok()) << "'" << text << "' printed as '" << printed << "': " << again.error();
    EXPECT_EQ(again.value().to_string(), printed);
    EXPECT_EQ(again.value().ast().size(), p.value().ast().size());
  }
  EXPECT_GT(accepted, 1000);
}

TEST(PatternParse, DepthAndSizeAreBounded) {
  std::string deep;
  for (int k = 0; k < 100000; ++k) deep += "(f ";
  auto p = Pattern::parse(deep);
  ASSERT_FALSE(p.ok());
  EXPECT_EQ(p.error(), "pattern nested deeper than 256");
  std::string wide = "(f";
  for (int k = 0; k < 5000; ++k) wide += " a" + std::to_string(k);
  EXPECT_FALSE(Pattern::parse(wide + ")").ok());
  std::string fine = "(f";
  for (int k = 0; k < 200; ++k) fine += " a" + std::to_string(k);
  EXPECT_TRUE(Pattern::parse(fine + ")").ok());
}

TEST(PatternVar, ReaderWantsTheQuestionMark) {
  auto v = Var::parse("x");
  ASSERT_FALSE(v.ok());
  EXPECT_EQ(v.error(), "pattern variable x should have a leading question mark");
  EXPECT_TRUE(Var::parse("?x").ok());
}

TEST(PatternCompile, CompactionSharesSubtermsAndVariables) {
  auto p = pat("(f (g ?x) (g ?x) ?x)");
  // ?x, (g ?x), (f 1 1 0): three entries after compaction.
  ASSERT_EQ(p->ast().size(), 3u);
  EXPECT_EQ(p->vars(), std::vector<Var>{var("?x")});
  EXPECT_EQ(p->to_string(), "(f (g ?x) (g ?x) ?x)");
}

TEST(PatternCompile, ProgramsBindCompareAndLookup) {
  EXPECT_EQ(describe(pat("(op|add ?a ?b)")->program()), "bind op|add/2 r0 -> r1");
  EXPECT_EQ(describe(pat("(f ?a ?a)")->program()), "bind f/2 r0 -> r1; compare r1 r2");
  // Once ?a is bound by the larger child, (g ?a) is fully bound and becomes
  // a hash-cons lookup instead of a scan of its class.
  EXPECT_EQ(describe(pat("(f (h ?a) (g ?a))")->program()),
            "bind f/2 r0 -> r1; bind h/1 r1 -> r3; lookup r3 g/1 = r2");
  EXPECT_EQ(describe(pat("?x")->program()), "");
}

class PatternSearch : public testing::Test {
 protected:
  void SetUp() override {
    x = g.add({sym("x"), {}});
    y = g.add({sym("y"), {}});
    xy = g.add({sym("op|add"), {x, y}});
    yx = g.add({sym("op|add"), {y, x}});
    xx = g.add({sym("op|add"), {x, x}});
    g.merge(xy, yx);
    g.rebuild();
  }
  EGraph g;
  Id x, y, xy, yx, xx;
};

TEST_F(PatternSearch, BothOrdersInOneClassGiveTwoSubstsInNodeOrder) {
  auto p = pat("(op|add ?a ?b)");
  auto m = p->search_eclass(g, xy);
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->substs.size(), 2u);
  EXPECT_EQ(m->ast, &p->ast());
  // Nodes are sorted by children: (x, y) before (y, x) since x < y.
  EXPECT_EQ(m->substs[0][var("?a")], x);
  EXPECT_EQ(m->substs[0][var("?b")], y);
  EXPECT_EQ(m->substs[1][var("?a")], y);
  EXPECT_EQ(m->substs[1][var("?b")], x);
  EXPECT_EQ(p->n_matches(g), 3u);
  EXPECT_THROW((void)m->substs[0][var("?c")], InternalFault);
}

TEST_F(PatternSearch, RepeatedVariableNeedsEqualClasses) {
  auto ms = pat("(op|add ?a ?a)")->search(g);
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].eclass, g.find(xx));
  g.merge(x, y);
  g.rebuild();
  // Now every add has equal children.
  EXPECT_EQ(pat("(op|add ?a ?a)")->n_matches(g), 1u) << "all three adds collapsed into one class and node";
}

TEST_F(PatternSearch, VariableRootMatchesEveryClassOnce) {
  auto ms = pat("?z")->search(g);
  EXPECT_EQ(ms.size(), g.class_count());
  for (const auto& m : ms) {
    ASSERT_EQ(m.substs.size(), 1u);
    EXPECT_EQ(m.substs[0][var("?z")], m.eclass);
  }
}

TEST_F(PatternSearch, LimitsCountSubstitutionsAcrossAndWithinClasses) {
  auto p = pat("(op|add ?a ?b)");
  EXPECT_TRUE(p->search_with_limit(g, 0).empty());
  EXPECT_FALSE(p->search_eclass_with_limit(g, xy, 0).has_value());
  for (uint64_t limit : {1u, 2u, 3u, 4u}) {
    EXPECT_EQ(total(p->search_with_limit(g, limit)), std::min<uint64_t>(limit, 3)) << limit;
  }
  // A limit of 1 stops inside a class that holds two matches.
  auto one = p->search_eclass_with_limit(g, xy, 1);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->substs.size(), 1u);
}

// A one-node pattern is matched without the machine; its matches must be the
// class's nodes of that symbol and arity in list order, each binding its
// variables to the children at their positions, whether the class is short
// or long enough (50 nodes and more) to be searched by symbol run.
class OneNodeSearch : public testing::TestWithParam<int> {};

TEST_P(OneNodeSearch, MatchesAreTheClassNodesOfTheSymbolInOrder) {
  const int members = GetParam();
  EGraph g;
  std::vector<Id> leaves;
  for (int k = 0; k < 64; ++k) leaves.push_back(g.add({SymbolTable::intern("leaf" + std::to_string(k)), {}}));
  const char* symbols[] = {"f", "g", "op|add"};
  Id cls = g.add({sym("f"), {leaves[0], leaves[1]}});
  for (int k = 1; k < members; ++k) {
    // Shapes that share the symbol but not the arity must not match.
    Id a = leaves[static_cast<size_t>(k) % 64], b = leaves[static_cast<size_t>(k * 7 + 1) % 64];
    Id n = k % 4 == 3 ? g.add({sym("f"), {a}}) : g.add({sym(symbols[k % 3]), {a, b}});
    g.merge(cls, n);
  }
  g.rebuild();
  cls = g.find(cls);
  ASSERT_GE(g[cls].nodes.size(), members >= 50 ? 50u : 2u) << "the class must be as long as intended";
  for (const char* text : {"(f ?a ?b)", "(f ?b ?a)", "(g ?x ?y)", "(f ?z)"}) {
    auto p = pat(text);
    const SymbolLang& shape = p->ast().back().node();
    // Variables appear once each, in child order.
    const std::vector<Var> order = p->vars();
    std::vector<const SymbolLang*> expected;
    for (const SymbolLang& n : g[cls].nodes) {
      if (n.op() == shape.op() && n.arity() == shape.arity()) expected.push_back(&n);
    }
    for (uint64_t limit : {kNoLimit, uint64_t{3}}) {
      auto m = p->search_eclass_with_limit(g, cls, limit);
      const size_t want = std::min<uint64_t>(expected.size(), limit);
      ASSERT_EQ(m ? m->substs.size() : 0u, want) << text << " members " << members;
      for (size_t k = 0; k < want; ++k) {
        const Subst& s = m->substs[k];
        ASSERT_EQ(s.size(), order.size());
        for (size_t v = 0; v < order.size(); ++v) {
          EXPECT_EQ(s.at(v).first, order[v]) << text;
          EXPECT_EQ(s.at(v).second, expected[k]->children()[v]) << text << " match " << k;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ShortAndLongClasses, OneNodeSearch, testing::Values(6, 80));

TEST_F(PatternSearch, GroundAndNestedPatterns) {
  Id fx = g.add({sym("f"), {g.find(xy)}});
  g.rebuild();
  EXPECT_EQ(pat("(f (op|add x y))")->n_matches(g), 1u);
  EXPECT_EQ(pat("(f (op|add y x))")->n_matches(g), 1u);
  EXPECT_EQ(pat("(f (op|add x x))")->n_matches(g), 0u);
  auto ms = pat("(f (op|add ?a y))")->search(g);
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].eclass, g.find(fx));
  EXPECT_EQ(ms[0].substs[0][var("?a")], x);
  EXPECT_EQ(pat("(op|add x)")->n_matches(g), 0u) << "arity is part of the match";
}

TEST_F(PatternSearch, SearchingADirtyGraphIsAFault) {
  g.add({sym("fresh"), {}});
  try {
    (void)pat("(op|add ?a ?b)")->search(g);
    FAIL();
  } catch (const InternalFault& e) {
    EXPECT_STREQ(e.what(), "Tried to search a dirty e-graph!");
  }
}

TEST_F(PatternSearch, ApplyingAVariableUnionsWithoutAddingNodes) {
  auto lhs = pat("(op|add ?a ?b)");
  auto rhs = pat("?a");
  auto rule = Rewrite::make("take-left", lhs, rhs);
  ASSERT_TRUE(rule.ok());
  auto ms = rule.value().search(g);
  uint64_t size = g.memo_entries();
  auto changed = rule.value().apply(g, ms);
  EXPECT_EQ(g.memo_entries(), size);
  // xy's class merges with x (true), then with y (true), xx's with x (true).
  EXPECT_EQ(changed.size(), 2u + 0u + (g.find(xx) == g.find(x) ? 1u : 0u));
  g.rebuild();
  EXPECT_EQ(g.find(xy), g.find(x));
  EXPECT_EQ(g.find(xy), g.find(y));
}

TEST_F(PatternSearch, ApplyingANodeInstantiatesAndReportsOnlyEffectiveUnions) {
  auto rule = Rewrite::make("commute", pat("(op|add ?a ?b)"), pat("(op|add ?b ?a)"));
  ASSERT_TRUE(rule.ok());
  auto changed = rule.value().apply(g, rule.value().search(g));
  EXPECT_TRUE(changed.empty()) << "both orders are already known equal";
  Id ab = g.add({sym("op|add"), {x, g.find(xx)}});
  g.rebuild();
  changed = rule.value().apply(g, rule.value().search(g));
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0], g.lookup({sym("op|add"), {g.find(xx), x}}));
  g.rebuild();
  EXPECT_EQ(g.find(changed[0]), g.find(ab));
}

// Applying a flat right side skips the instances its matched class already
// lists. The general applier instantiates and unites every one, so both must
// leave the same graph, ids and effective unions behind, also when earlier
// rules of the same round merged the classes a later instance names (the
// skipped node is then no longer the instance the add would look up).
class FlatApply : public testing::TestWithParam<uint32_t> {};

TEST_P(FlatApply, SkippingListedInstancesMatchesTheGeneralApplier) {
  std::mt19937 rng(GetParam());
  EGraph g;
  std::vector<Id> ids;
  for (int k = 0; k < 4; ++k) ids.push_back(g.add({SymbolTable::intern("leaf" + std::to_string(k)), {}}));
  const char* ops[] = {"f", "g"};
  for (int k = 0; k < 60; ++k) {
    Id a = ids[rng() % ids.size()], b = ids[rng() % ids.size()];
    ids.push_back(g.add({sym(ops[rng() % 2]), {a, b}}));
  }
  for (int k = 0; k < 6; ++k) g.merge(ids[rng() % ids.size()], ids[rng() % ids.size()]);
  g.rebuild();
  std::vector<Rewrite> rules;
  for (auto [lhs, rhs] : {std::pair{"(f ?a ?b)", "(f ?b ?a)"}, {"(g ?a ?b)", "?b"}, {"(g ?a ?b)", "(f ?a ?b)"},
                          {"(f ?a ?b)", "(g ?b ?a)"}, {"(f ?a ?b)", "(f ?b ?a)"}}) {
    rules.push_back(Rewrite::make("r", pat(lhs), pat(rhs)).value());
  }
  for (int round = 0; round < 3; ++round) {
    std::vector<std::vector<SearchMatches>> found;
    for (const Rewrite& r : rules) found.push_back(r.search(g));
    EGraph general = g;
    for (size_t r = 0; r < rules.size(); ++r) {
      const auto& applier = static_cast<const Pattern&>(rules[r].applier());
      EXPECT_EQ(applier.apply_matches(g, found[r], rules[r].name()),
                applier.Applier::apply_matches(general, found[r], rules[r].name()))
          << "seed " << GetParam() << " round " << round << " rule " << r;
      ASSERT_EQ(g.memo_entries(), general.memo_entries());
      ASSERT_EQ(g.id_count(), general.id_count());
      ASSERT_EQ(g.class_count(), general.class_count());
    }
    EXPECT_EQ(g.rebuild(), general.rebuild());
    for (Id id = 0; id < g.id_count(); ++id) ASSERT_EQ(g.find(id), general.find(id)) << "seed " << GetParam();
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FlatApply, testing::Range(1u, 41u));

TEST(Rewrite, RejectsAnApplierVariableTheSearcherLacks) {
  auto r = Rewrite::make("bad-rule", pat("(f ?a)"), pat("(g ?a ?b)"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Rewrite bad-rule refers to unbound var ?b");
  auto ok = Rewrite::make("good-rule", pat("(f ?a ?b)"), pat("(g ?b)"));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(SymbolTable::text(ok.value().name()), "good-rule");
  auto texts = rewrite_from_patterns("from-texts", "(f ?a)", "(g ?a ?c)");
  ASSERT_FALSE(texts.ok());
  EXPECT_EQ(texts.error(), "Rewrite from-texts refers to unbound var ?c");
  EXPECT_FALSE(rewrite_from_patterns("unparsed", "(f ?a", "?a").ok());
}

}  // namespace
}  // namespace nodalis::egraph
