// Escaping and unescaping of free text inside tokens.
#include "ir/token_escape.h"

#include <gtest/gtest.h>

namespace nodalis::ir {
namespace {

struct EscapeCase {
  std::string raw, escaped;
};

std::string repeated(std::string_view piece, int times) {
  std::string out;
  for (int k = 0; k < times; ++k) out += piece;
  return out;
}

class EscapeRoundTrip : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeRoundTrip, EscapesAndComesBack) {
  const auto& c = GetParam();
  EXPECT_EQ(escape_token(c.raw), c.escaped);
  std::string appended = "x";
  append_escaped(appended, c.raw);
  EXPECT_EQ(appended, "x" + c.escaped);
  EXPECT_EQ(unescape_token(c.escaped), c.raw);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeRoundTrip,
    ::testing::Values(EscapeCase{"", ""}, EscapeCase{"plain text, 'quoted' \"too\"", "plain text, 'quoted' \"too\""},
                      EscapeCase{"a;b", "a%3Bb"}, EscapeCase{"a|b", "a%7Cb"}, EscapeCase{"k=v", "k%3Dv"},
                      EscapeCase{"100%", "100%25"}, EscapeCase{"%3B", "%253B"}, EscapeCase{"%7C|", "%257C%7C"},
                      EscapeCase{"%%;;==||", "%25%25%3B%3B%3D%3D%7C%7C"},
                      EscapeCase{"h\xC3\xA9llo\n\t", "h\xC3\xA9llo\n\t"},
                      EscapeCase{std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
                      // Past the writer's first room, in one text and over it.
                      EscapeCase{repeated("a|", 150), repeated("a%7C", 150)},
                      EscapeCase{repeated("b", 70), repeated("b", 70)}));

struct UnescapeCase {
  std::string in, out;
};

class UnescapeOnly : public ::testing::TestWithParam<UnescapeCase> {};

TEST_P(UnescapeOnly, LeavesUnknownSequences) { EXPECT_EQ(unescape_token(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(Texts, UnescapeOnly,
                         ::testing::Values(UnescapeCase{"%3b", "%3b"}, UnescapeCase{"%7c%3d", "%7c%3d"},
                                           UnescapeCase{"%", "%"}, UnescapeCase{"%2", "%2"},
                                           UnescapeCase{"%41", "%41"}, UnescapeCase{"%253B", "%3B"},
                                           UnescapeCase{"%25253D", "%253D"}, UnescapeCase{"a%3Bb%3Dc", "a;b=c"},
                                           UnescapeCase{"%%7C", "%|"}, UnescapeCase{"%3%3BB", "%3;B"}));

}  // namespace
}  // namespace nodalis::ir
