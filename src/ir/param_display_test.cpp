// Display forms of values and maps, as shown in DOT labels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "ir/param_map.h"

namespace nodalis::ir {
namespace {

struct FloatCase {
  double value;
  std::string text;
};

class FloatDisplay : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatDisplay, ShortestWithoutExponent) {
  EXPECT_EQ(ParamValue::Float(GetParam().value).display(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FloatDisplay,
    ::testing::Values(FloatCase{1.0, "1"}, FloatCase{0.5, "0.5"}, FloatCase{0.0, "0"}, FloatCase{-0.0, "-0"},
                      FloatCase{2.5, "2.5"}, FloatCase{0.1, "0.1"}, FloatCase{-1.5, "-1.5"},
                      FloatCase{1e20, "100000000000000000000"}, FloatCase{1e-7, "0.0000001"},
                      FloatCase{123456789.125, "123456789.125"}, FloatCase{1.0 / 3, "0.3333333333333333"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

TEST(FloatDisplay, ExtremesRoundTrip) {
  for (double d : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                   -std::numeric_limits<double>::min()}) {
    const std::string text = ParamValue::Float(d).display();
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
  }
}

struct StrCase {
  std::string value, text;
};

class StrDisplay : public ::testing::TestWithParam<StrCase> {};

TEST_P(StrDisplay, QuotedAndEscaped) { EXPECT_EQ(ParamValue::Str(GetParam().value).display(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, StrDisplay,
    ::testing::Values(StrCase{"r", "\"r\""}, StrCase{"", "\"\""}, StrCase{"a\"b", "\"a\\\"b\""},
                      StrCase{"back\\slash", "\"back\\\\slash\""}, StrCase{"it's", "\"it's\""},
                      StrCase{"l1\nl2\r\t", "\"l1\\nl2\\r\\t\""}, StrCase{std::string("a\0b", 3), "\"a\\0b\""},
                      StrCase{"\x01\x1F\x7F", "\"\\u{1}\\u{1f}\\u{7f}\""},
                      StrCase{"caf\xC3\xA9", "\"caf\xC3\xA9\""},                          // printable non-ASCII
                      StrCase{"e\xCC\x81", "\"e\\u{301}\""},                              // combining acute
                      StrCase{"\xE2\x80\x8B", "\"\\u{200b}\""},                           // zero-width space
                      StrCase{"\xC2\xA0", "\"\\u{a0}\""},                                 // no-break space
                      StrCase{"\xEF\xBB\xBF", "\"\\u{feff}\""},                           // BOM
                      StrCase{"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},                // emoji
                      StrCase{"\xE4\xB8\xAD\xE6\x96\x87", "\"\xE4\xB8\xAD\xE6\x96\x87\""}  // CJK
                      ));

TEST(Display, OtherValues) {
  EXPECT_EQ(ParamValue::Int(-42).display(), "-42");
  EXPECT_EQ(ParamValue::Bool(true).display(), "true");
  EXPECT_EQ(ParamValue::Bool(false).display(), "false");
}

TEST(Display, Maps) {
  EXPECT_EQ(ParamMap().display(), "{}");
  EXPECT_EQ(ParamMap::make({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(1.0)}}).display(),
            "{scalar=1, side=\"r\"}");
  // Keys appear raw, not escaped as in tokens.
  EXPECT_EQ(ParamMap::make({{"a;b", ParamValue::Int(1)}, {"", ParamValue::Bool(false)}}).display(),
            "{=false, a;b=1}");
}

}  // namespace
}  // namespace nodalis::ir
