// Which engine texts the rules recognise: every rule text, and texts that
// differ from one in a single place (kind, a name's letter, a parameter's
// digit or side, one byte more or less), including texts whose length is
// that of a rule text, which a quick test on length alone must not accept.
#include "optimizer/rule_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nodalis::opt {
namespace {

struct Case {
  std::string text;
  RuleRole role;
};

std::vector<Case> cases() {
  std::vector<Case> all = {
      {"op|add", RuleRole::Commutative},
      {"op|or", RuleRole::Commutative},
      {"op|minimum", RuleRole::Commutative},
      {"op|add|scalar=f0000000000000000;side=sr", RuleRole::Identity},
      {"op|mul|scalar=f3ff0000000000000;side=sl", RuleRole::Identity},
      // Same length as a rule text, another text.
      {"op|adx", RuleRole::None},
      {"op|sub", RuleRole::None},
      {"op|xy", RuleRole::None},
      {"op|maximun", RuleRole::None},
      {"red|or", RuleRole::None},
      {"opxadd", RuleRole::None},
      {"op|add|scalar=f8000000000000000;side=sr", RuleRole::None},  // -0.0
      {"op|add|scalar=f3ff0000000000000;side=sr", RuleRole::None},  // 1.0 added
      {"op|mul|scalar=f0000000000000000;side=sl", RuleRole::None},  // times 0.0
      {"op|add|scalar=f0000000000000000;side=sx", RuleRole::None},
      {"op|sub|scalar=f0000000000000000;side=sr", RuleRole::None},
      // Other lengths.
      {"", RuleRole::None},
      {"op|", RuleRole::None},
      {"op|ad", RuleRole::None},
      {"op|addd", RuleRole::None},
      {"op|add|", RuleRole::None},
      {"op|add|scalar=f0000000000000000;side=s", RuleRole::None},
      {"op|add|scalar=f0000000000000000;side=srr", RuleRole::None},
      {"src|x", RuleRole::None},
      {"op|add|scalar=f0000000000000000;side=sr;tail=s" + std::string(40, 'x'), RuleRole::None},
  };
  for (std::string_view name : kCommutativeNames) {
    all.push_back({"op|" + std::string(name), RuleRole::Commutative});
    all.push_back({"src|" + std::string(name), RuleRole::None});
    all.push_back({"op|" + std::string(name) + "|i1", RuleRole::None});
  }
  for (std::string_view t : kIdentityTexts) {
    all.push_back({std::string(t), RuleRole::Identity});
    std::string last_changed(t);
    last_changed.back() = 'q';
    all.push_back({last_changed, RuleRole::None});
  }
  return all;
}

TEST(RuleRole, RecognisesExactlyTheRuleTexts) {
  for (const Case& c : cases()) EXPECT_EQ(rule_role(c.text), c.role) << '"' << c.text << '"';
}

// Op texts are those that start with the op prefix, whatever their length;
// each of the prefix's bytes is changed once.
TEST(RuleRole, OpTextsAreThoseWithTheOpPrefix) {
  std::vector<std::string> texts = {"", "o", "op", "op|", "op|x", "xp|a", "ox|a", "opx", "Op|a", "src|op|a"};
  for (const Case& c : cases()) texts.push_back(c.text);
  for (const std::string& t : texts) EXPECT_EQ(is_op_text(t), t.starts_with("op|")) << '"' << t << '"';
}

}  // namespace
}  // namespace nodalis::opt
