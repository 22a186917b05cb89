// The text signature reader: what the binder gets from each form of
// docstring the module uses, and every form it must refuse (the binder could
// not honour it, so the build must stop rather than bind differently).
#include "python/text_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nodalis::py {
namespace {

struct Accepted {
  const char* doc;
  const char* owner;
  const char* qualname;
  std::vector<std::string> names;
  int positional, required, keyword_only, required_keyword_only;
};

class AcceptedSignature : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedSignature, GivesTheBinderItsParameters) {
  const Accepted& c = GetParam();
  const TextSignature sig = parse_text_signature(c.doc, c.owner);
  ASSERT_EQ(sig.error, SignatureError::None);
  EXPECT_STREQ(sig.texts.qualname, c.qualname);
  std::vector<std::string> names;
  for (int i = 0; i < sig.positional + sig.keyword_only; ++i) names.emplace_back(sig.texts.names[i]);
  EXPECT_EQ(names, c.names);
  EXPECT_EQ(sig.positional, c.positional);
  EXPECT_EQ(sig.required, c.required);
  EXPECT_EQ(sig.keyword_only, c.keyword_only);
  EXPECT_EQ(sig.required_keyword_only, c.required_keyword_only);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AcceptedSignature,
    ::testing::Values(
        Accepted{"GraphStore()\n--\n\nA class.", "", "GraphStore", {}, 0, 0, 0, 0},
        Accepted{"node_count($self)\n--\n\n", "GraphStore", "GraphStore.node_count", {}, 0, 0, 0, 0},
        Accepted{"add_op($self, name, inputs, params=None)\n--\n\n", "GraphStore",
                 "GraphStore.add_op", {"name", "inputs", "params"}, 3, 2, 0, 0},
        // A static method: no $self.
        Accepted{"deserialize(data)\n--\n\nText (with parentheses).", "GraphStore",
                 "GraphStore.deserialize", {"data"}, 1, 1, 0, 0},
        Accepted{"reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n", "GraphStore",
                 "GraphStore.reduce", {"maximal_fusion", "outputs"}, 0, 0, 2, 0},
        Accepted{"finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n", "R",
                 "R.finalize", {"store", "maximal_fusion", "outputs"}, 1, 1, 2, 0},
        Accepted{"P(*, kind, content_hash, pre=None)\n--\n\n", "", "P",
                 {"kind", "content_hash", "pre"}, 0, 0, 3, 2},
        Accepted{"f(a, b=None, *, c, d=None)\n--\n\n", "", "f", {"a", "b", "c", "d"}, 2, 1, 2, 1},
        Accepted{"f(a1, b_2, c, d, e, f, g, h)\n--\n\n", "", "f",
                 {"a1", "b_2", "c", "d", "e", "f", "g", "h"}, 8, 8, 0, 0}));

struct Refused {
  const char* doc;
  SignatureError error;
};

class RefusedSignature : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedSignature, SaysWhy) {
  EXPECT_EQ(parse_text_signature(GetParam().doc, "C").error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RefusedSignature,
    ::testing::Values(
        Refused{"A docstring without a signature.", SignatureError::NoSignature},
        Refused{"f(a)\nText.", SignatureError::NoSignature},
        Refused{"f(a)\n--\nText.", SignatureError::NoSignature},
        Refused{"Text first.\nf(a)\n--\n\n", SignatureError::BadName},
        Refused{"(a)\n--\n\n", SignatureError::BadName},
        Refused{"f(a, /, b)\n--\n\n", SignatureError::NotPlain},
        Refused{"f(*args)\n--\n\n", SignatureError::NotPlain},
        Refused{"f(a, **kwargs)\n--\n\n", SignatureError::NotPlain},
        Refused{"f(a,b)\n--\n\n", SignatureError::NotPlain},
        Refused{"f(a, )\n--\n\n", SignatureError::NotPlain},
        Refused{"f(a, , b)\n--\n\n", SignatureError::NotPlain},
        Refused{"f(a, $self)\n--\n\n", SignatureError::MisplacedSelf},
        Refused{"f(a, *)\n--\n\n", SignatureError::MisplacedStar},
        Refused{"f(*, a, *, b)\n--\n\n", SignatureError::MisplacedStar},
        Refused{"f(a=1)\n--\n\n", SignatureError::BadDefault},
        Refused{"f(a=True)\n--\n\n", SignatureError::BadDefault},
        Refused{"f(a=None, b)\n--\n\n", SignatureError::RequiredAfterDefault},
        Refused{"f(*, a=None, b)\n--\n\n", SignatureError::RequiredAfterDefault},
        Refused{"f(a, b, c, d, e, f, g, h, i)\n--\n\n", SignatureError::TooMany},
        Refused{"f(a_parameter_name_longer_than_31_)\n--\n\n", SignatureError::TooLong},
        Refused{"f(a, b, a=None)\n--\n\n", SignatureError::Repeated}));

TEST(TextSignature, RefusesAQualnameLongerThanItHolds) {
  const std::string owner(60, 'C');
  EXPECT_EQ(parse_text_signature("f()\n--\n\n", owner).error, SignatureError::None);
  EXPECT_EQ(parse_text_signature("fourth()\n--\n\n", owner).error, SignatureError::TooLong);
}

// The keyword-only group may start with required parameters again after
// positional ones with defaults; read where the binder reads it, by the compiler.
TEST(TextSignature, ReadsAtCompileTime) {
  constexpr TextSignature sig = parse_text_signature("f(a=None, *, b)\n--\n\n");
  static_assert(sig.error == SignatureError::None && sig.required == 0 &&
                sig.required_keyword_only == 1);
  EXPECT_STREQ(sig.texts.names[1], "b");
}

}  // namespace
}  // namespace nodalis::py
