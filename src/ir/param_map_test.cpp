// Parameter maps: construction order, tokens, token parsing (accepted and
// rejected forms), and equality/hash agreement including float corner cases.
#include "ir/param_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>

#include "base/fault.h"

namespace nodalis::ir {
namespace {

using Entries = std::vector<std::pair<std::string, ParamValue>>;

ParamMap map_of(Entries e) { return ParamMap::make(std::move(e)); }

double from_bits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

std::vector<std::string> keys_of(const ParamMap& m) {
  std::vector<std::string> keys;
  for (const ParamEntryRef e : m) keys.emplace_back(e.key);
  return keys;
}

TEST(ParamMap, SortsByUnsignedBytesStablyKeepingDuplicates) {
  const ParamMap m = map_of({{"b", ParamValue::Int(1)},
                             {"\xC3\xA9", ParamValue::Int(2)},
                             {"a", ParamValue::Int(3)},
                             {"ab", ParamValue::Int(4)},
                             {"a", ParamValue::Int(5)},
                             {"", ParamValue::Int(6)}});
  EXPECT_EQ(keys_of(m), (std::vector<std::string>{"", "a", "a", "ab", "b", "\xC3\xA9"}));
  EXPECT_EQ(m.token(), "=i6;a=i3;a=i5;ab=i4;b=i1;\xC3\xA9=i2");
  EXPECT_EQ(m.size(), 6u);
}

TEST(ParamMap, LongMapsSortLikeAStableSortOfTheKeys) {
  // Keys that tie on their first eight bytes, hold zero and high bytes, are
  // prefixes of one another, and repeat (each repeat with its own value).
  std::mt19937 rng(7);
  const std::string stems[] = {"", "a", std::string("a\0", 2), "abcdefgh", "abcdefgh\x01", "abcdefghij",
                               "\xFF", "\xC3\xA9", "k1", "k10", "k2"};
  Entries entries;
  for (int i = 0; i < 3000; ++i) {
    std::string key = stems[rng() % std::size(stems)];
    if (rng() % 2) key += std::to_string(rng() % 50);
    entries.emplace_back(key, ParamValue::Int(i));
  }
  Entries expected = entries;
  std::stable_sort(expected.begin(), expected.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  const ParamMap m = map_of(entries);
  ASSERT_EQ(m.size(), expected.size());
  size_t k = 0;
  for (const ParamEntryRef e : m) {
    EXPECT_EQ(e.key, expected[k].first) << k;
    EXPECT_EQ(e.value.i, expected[k].second.ref().i) << k;
    ++k;
  }
}

TEST(ParamMap, EmptyMap) {
  const ParamMap m;
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.token(), "");
  EXPECT_EQ(m.display(), "{}");
  EXPECT_EQ(ParamMapView().token(), "");
  EXPECT_TRUE(ParamMapView() == m.view());
  const auto parsed = ParamMap::from_token("");
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->empty());
}

TEST(ParamMap, ValueTokens) {
  EXPECT_EQ(ParamValue::Int(-5).token(), "i-5");
  EXPECT_EQ(ParamValue::Int(std::numeric_limits<int64_t>::min()).token(), "i-9223372036854775808");
  EXPECT_EQ(ParamValue::Float(0.0).token(), "f0000000000000000");
  EXPECT_EQ(ParamValue::Float(1.0).token(), "f3ff0000000000000");
  EXPECT_EQ(ParamValue::Float(-0.0).token(), "f8000000000000000");
  EXPECT_EQ(ParamValue::Float(from_bits(0xFFF0000000000123ull)).token(), "f7ff8000000000000");
  EXPECT_EQ(ParamValue::Float(from_bits(0x7FF8000000000001ull)).token(), "f7ff8000000000000");
  EXPECT_EQ(ParamValue::Bool(true).token(), "btrue");
  EXPECT_EQ(ParamValue::Bool(false).token(), "bfalse");
  EXPECT_EQ(ParamValue::Str("a;b").token(), "sa%3Bb");
  EXPECT_EQ(ParamValue::Str("").token(), "s");
}

TEST(ParamMap, MapTokens) {
  EXPECT_EQ(map_of({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(0.0)}}).token(),
            "scalar=f0000000000000000;side=sr");
  EXPECT_EQ(map_of({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("r")}}).token(),
            "scalar=f3ff0000000000000;side=sr");
  EXPECT_EQ(map_of({{"k|=;%", ParamValue::Str("v|=;%")}}).token(), "k%7C%3D%3B%25=sv%7C%3D%3B%25");
}

struct ParseOk {
  std::string token;
  Entries expected;
};

class FromTokenAccepts : public ::testing::TestWithParam<ParseOk> {};

TEST_P(FromTokenAccepts, GivesTheMap) {
  const auto parsed = ParamMap::from_token(GetParam().token);
  ASSERT_TRUE(parsed) << GetParam().token;
  EXPECT_EQ(*parsed, map_of(GetParam().expected)) << GetParam().token;
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, FromTokenAccepts,
    ::testing::Values(
        ParseOk{"=i1", {{"", ParamValue::Int(1)}}}, ParseOk{"a=i+7", {{"a", ParamValue::Int(7)}}},
        ParseOk{"a=i-0", {{"a", ParamValue::Int(0)}}}, ParseOk{"a=i007", {{"a", ParamValue::Int(7)}}},
        ParseOk{"a=i9223372036854775807", {{"a", ParamValue::Int(std::numeric_limits<int64_t>::max())}}},
        ParseOk{"a=i-9223372036854775808", {{"a", ParamValue::Int(std::numeric_limits<int64_t>::min())}}},
        ParseOk{"a=f3FF0000000000000", {{"a", ParamValue::Float(1.0)}}},
        ParseOk{"a=f+3ff0000000000000", {{"a", ParamValue::Float(1.0)}}},
        ParseOk{"a=f00003ff0000000000000", {{"a", ParamValue::Float(1.0)}}},
        ParseOk{"a=f0", {{"a", ParamValue::Float(0.0)}}},
        ParseOk{"a=fffffffffffffffff", {{"a", ParamValue::Float(from_bits(~0ull))}}},
        ParseOk{"a=s", {{"a", ParamValue::Str("")}}}, ParseOk{"a=sx=y", {{"a", ParamValue::Str("x=y")}}},
        ParseOk{"a=btrue;b=bfalse", {{"a", ParamValue::Bool(true)}, {"b", ParamValue::Bool(false)}}},
        ParseOk{"z=i1;a=i2", {{"a", ParamValue::Int(2)}, {"z", ParamValue::Int(1)}}},
        ParseOk{"k=i2;k=i1", {{"k", ParamValue::Int(2)}, {"k", ParamValue::Int(1)}}},
        ParseOk{"a%3Bb=sc%7Cd", {{"a;b", ParamValue::Str("c|d")}}}));

TEST(ParamMap, DuplicateKeysKeepTokenOrder) {
  const auto parsed = ParamMap::from_token("k=i2;k=i1");
  ASSERT_TRUE(parsed);
  std::vector<int64_t> values;
  for (const ParamEntryRef e : *parsed) values.push_back(e.value.i);
  EXPECT_EQ(values, (std::vector<int64_t>{2, 1}));
  EXPECT_NE(*parsed, *ParamMap::from_token("k=i1;k=i2"));
}

class FromTokenRejects : public ::testing::TestWithParam<std::string> {};

TEST_P(FromTokenRejects, GivesNothing) { EXPECT_FALSE(ParamMap::from_token(GetParam())) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Tokens, FromTokenRejects,
                         ::testing::Values("a=i1;", ";a=i1", "a=i1;;b=i2", ";", "a", "a=i1;b", "a=", "a=x1",
                                           "a=B1", "a=Btrue", "a=btrue1", "a=bTrue", "a=True", "a=b", "a=i",
                                           "a=i+", "a=i-", "a=i1.5", "a=i 1", "a=i0x1", "a=i9223372036854775808",
                                           "a=i-9223372036854775809", "a=i99999999999999999999", "a=f", "a=f+",
                                           "a=f-", "a=f-1", "a=fg", "a=f0x1", "a=f10000000000000000",
                                           "a=f1ffffffffffffffff", "a=\xC3\xA9", "a=I1", "a=S"));

TEST(ParamMap, FloatBitsParseRawAndCompareCanonical) {
  const auto nan1 = ParamMap::from_token("a=f7ff0000000000001");
  ASSERT_TRUE(nan1);
  const ParamRef v = (*nan1->begin()).value;
  EXPECT_EQ(v.bits, 0x7FF0000000000001ull);  // kept as given
  EXPECT_EQ(nan1->token(), "a=f7ff8000000000000");
  EXPECT_EQ(*nan1, map_of({{"a", ParamValue::Float(std::numeric_limits<double>::quiet_NaN())}}));
}

std::vector<ParamMap> round_trip_maps() {
  return {ParamMap(),
          map_of({{"", ParamValue::Str("")}}),
          map_of({{"scalar", ParamValue::Float(-0.0)}, {"side", ParamValue::Str("l")}}),
          map_of({{"n", ParamValue::Float(from_bits(0xFFFFFFFFFFFFFFFFull))}}),
          map_of({{"i", ParamValue::Int(std::numeric_limits<int64_t>::min())}, {"b", ParamValue::Bool(false)}}),
          map_of({{"%;=|", ParamValue::Str("%;=|%25")}, {"x", ParamValue::Float(1e300)}}),
          map_of({{"k", ParamValue::Int(1)}, {"k", ParamValue::Str("dup")}})};
}

TEST(ParamMap, TokenRoundTrips) {
  for (const ParamMap& m : round_trip_maps()) {
    const auto back = ParamMap::from_token(m.token());
    ASSERT_TRUE(back) << m.token();
    EXPECT_EQ(*back, m) << m.token();
    EXPECT_EQ(back->token(), m.token());
  }
}

struct EqCase {
  const char* what;
  Entries a, b;
  bool equal;
};

class MapEquality : public ::testing::TestWithParam<EqCase> {};

TEST_P(MapEquality, AgreesWithHash) {
  const auto& c = GetParam();
  const ParamMap a = map_of(c.a), b = map_of(c.b);
  EXPECT_EQ(a == b, c.equal) << c.what;
  EXPECT_EQ(b == a, c.equal) << c.what;
  EXPECT_EQ(a.token() == b.token(), c.equal) << c.what;
  if (c.equal) {
    for (uint64_t seed : {0ull, 1ull, 0xDEADBEEFull}) EXPECT_EQ(a.view().hash(seed), b.view().hash(seed)) << c.what;
  } else {
    EXPECT_NE(a.view().hash(42), b.view().hash(42)) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MapEquality,
    ::testing::Values(
        EqCase{"nan payloads", {{"a", ParamValue::Float(from_bits(0x7FF8000000000000ull))}},
               {{"a", ParamValue::Float(from_bits(0xFFF0000000000042ull))}}, true},
        EqCase{"nan payloads among other entries",
               {{"a", ParamValue::Float(from_bits(0x7FF0000000000001ull))}, {"b", ParamValue::Str("x")}},
               {{"b", ParamValue::Str("x")}, {"a", ParamValue::Float(from_bits(0xFFF8000000000000ull))}}, true},
        EqCase{"nan against number", {{"a", ParamValue::Float(from_bits(0x7FF0000000000001ull))}},
               {{"a", ParamValue::Float(1.0)}}, false},
        EqCase{"signed zeros", {{"a", ParamValue::Float(0.0)}}, {{"a", ParamValue::Float(-0.0)}}, false},
        EqCase{"int against float", {{"a", ParamValue::Int(1)}}, {{"a", ParamValue::Float(1.0)}}, false},
        EqCase{"int against bool", {{"a", ParamValue::Int(1)}}, {{"a", ParamValue::Bool(true)}}, false},
        EqCase{"given order", {{"x", ParamValue::Int(1)}, {"y", ParamValue::Str("s")}},
               {{"y", ParamValue::Str("s")}, {"x", ParamValue::Int(1)}}, true},
        EqCase{"duplicate order", {{"k", ParamValue::Int(1)}, {"k", ParamValue::Int(2)}},
               {{"k", ParamValue::Int(2)}, {"k", ParamValue::Int(1)}}, false},
        EqCase{"duplicate against single", {{"k", ParamValue::Int(1)}, {"k", ParamValue::Int(1)}},
               {{"k", ParamValue::Int(1)}}, false},
        EqCase{"key differs", {{"k", ParamValue::Int(1)}}, {{"K", ParamValue::Int(1)}}, false},
        EqCase{"empty key against empty map", {{"", ParamValue::Str("")}}, {}, false}));

TEST(ParamMap, AdoptedEncodingWithNaNEqualsBuiltOne) {
  // A map whose NaN came in through the blob with another payload.
  const ParamMap built = map_of({{"a", ParamValue::Float(std::numeric_limits<double>::quiet_NaN())}});
  std::string bytes(built.view().encoded());
  bytes[bytes.size() - 1] = static_cast<char>(0xFF);  // sign bit set: still a NaN
  const ParamMap adopted = ParamMap::adopt_encoded(bytes);
  EXPECT_TRUE(adopted.view().has_nan());
  EXPECT_EQ(adopted, built);
  EXPECT_EQ(adopted.view().hash(7), built.view().hash(7));
  EXPECT_EQ(ParamMapView::encoded_size_at(bytes.data()), bytes.size());
}

TEST(ParamMap, EncodingMatchesBlobLayout) {
  const ParamMap m = map_of({{"k", ParamValue::Bool(true)}, {"s", ParamValue::Str("v")}});
  const std::string expected("\x02\0\0\0"
                             "\x01\0\0\0k\x02\x01"
                             "\x01\0\0\0s\x03\x01\0\0\0v",
                             4 + 4 + 1 + 1 + 1 + 4 + 1 + 1 + 4 + 1);
  EXPECT_EQ(m.view().encoded(), expected);
}

}  // namespace
}  // namespace nodalis::ir
