// The Reader on hand-made bytes: bounds, UTF-8, maps as found and as built,
// input lists, and the display texts of DecodeError.
#include "blob/reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "blob/blob_sample.h"
#include "blob/handmade_blob.h"
#include "blob/utf8.h"

namespace nodalis::blob {
namespace {

const DecodeError kTruncated = DecodeError::truncated();

// A Reader positioned at the start of `bytes`.
Reader at_start(std::string_view bytes) { return Reader(bytes, 0); }

TEST(Reader, StartsAfterMagicAndNodeCount) {
  HandmadeBlob b;
  b.header(1).u8(42);
  Reader r(b);
  EXPECT_EQ(r.position(), 8u);
  EXPECT_EQ(r.u8().value(), 42);
  EXPECT_EQ(r.remaining(), 0u);
  // A blob shorter than the header leaves nothing to read rather than a
  // position past the end.
  Reader short_one(std::string_view("NIR1", 4));
  EXPECT_EQ(short_one.remaining(), 0u);
  EXPECT_EQ(short_one.u8().error(), kTruncated);
}

TEST(Reader, FixedWidthIntegersAreLittleEndianAndBoundsChecked) {
  HandmadeBlob b;
  b.u8(0x01).u32(0x04030201u).u64(0x0807060504030201ull);
  Reader r = at_start(b);
  EXPECT_EQ(r.u8().value(), 1);
  EXPECT_EQ(r.u32().value(), 0x04030201u);
  EXPECT_EQ(r.u64().value(), 0x0807060504030201ull);
  EXPECT_EQ(r.u8().error(), kTruncated);

  std::string seven(7, '\x01');
  Reader r7 = at_start(seven);
  EXPECT_EQ(r7.u64().error(), kTruncated);
  EXPECT_EQ(r7.u32().value(), 0x01010101u);
  EXPECT_EQ(r7.u32().error(), kTruncated);
}

struct StringCase {
  const char* label;
  std::string bytes;  // the string's payload, behind a u32 length
  bool valid;
  friend void PrintTo(const StringCase& c, std::ostream* os) { *os << c.label; }
};

class ReaderString : public ::testing::TestWithParam<StringCase> {};

TEST_P(ReaderString, AcceptsExactlyWellFormedUtf8) {
  const StringCase& c = GetParam();
  HandmadeBlob b;
  b.str(c.bytes).u8(0xAA);
  Reader r = at_start(b);
  auto s = r.string();
  if (c.valid) {
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s.value(), c.bytes);
    EXPECT_EQ(r.u8().value(), 0xAA);
  } else {
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), DecodeError::invalid_utf8());
  }
  EXPECT_EQ(valid_utf8(c.bytes.data(), c.bytes.size()), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, ReaderString,
    ::testing::Values(StringCase{"empty", "", true}, StringCase{"ascii", "add", true},
                      StringCase{"two_byte", "h\xC3\xA9llo", true},
                      StringCase{"three_byte", "\xE2\x82\xAC", true},
                      StringCase{"four_byte", "\xF0\x9F\x98\x80", true},
                      StringCase{"max_scalar", "\xF4\x8F\xBF\xBF", true},
                      StringCase{"below_surrogates", "\xED\x9F\xBF", true},
                      StringCase{"above_surrogates", "\xEE\x80\x80", true},
                      StringCase{"nul_is_text", std::string("a\0b", 3), true},
                      StringCase{"overlong_two", "\xC0\x80", false},
                      StringCase{"overlong_c1", "\xC1\xBF", false},
                      StringCase{"overlong_three", "\xE0\x80\xAF", false},
                      StringCase{"overlong_four", "\xF0\x8F\xBF\xBF", false},
                      StringCase{"surrogate", "\xED\xA0\x80", false},
                      StringCase{"beyond_max", "\xF4\x90\x80\x80", false},
                      StringCase{"f5_lead", "\xF5\x80\x80\x80", false},
                      StringCase{"ff_byte", "\xFF", false},
                      StringCase{"stray_continuation", "a\x80", false},
                      StringCase{"cut_two", "\xC3", false},
                      StringCase{"cut_three", "\xE2\x82", false},
                      StringCase{"cut_four", "\xF0\x9F\x98", false},
                      StringCase{"bad_second", "\xE2\x28\xA1", false},
                      StringCase{"bad_third", "\xE2\x82\x28", false},
                      StringCase{"bad_fourth", "\xF0\x9F\x98\x28", false}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

// The word-at-a-time skip must not jump over a bad byte at any offset.
TEST(Utf8, FindsABadByteAtEveryOffsetOfLongText) {
  for (size_t len = 1; len <= 48; ++len) {
    for (size_t at = 0; at < len; ++at) {
      std::string text(len, 'x');
      text[at] = '\x80';
      EXPECT_FALSE(valid_utf8(text.data(), text.size())) << len << " " << at;
      text[at] = '\x7F';
      EXPECT_TRUE(valid_utf8(text.data(), text.size())) << len << " " << at;
    }
  }
  // A sequence cut by the end of the string right after a run of ASCII.
  std::string cut = std::string(16, 'a') + "\xE2\x82";
  EXPECT_FALSE(valid_utf8(cut.data(), cut.size()));
}

TEST(ReaderStringBounds, LengthAndBytesMustBothBePresent) {
  HandmadeBlob len_only;
  len_only.u8(5).u8(0).u8(0);  // three of the four length bytes
  EXPECT_EQ(at_start(len_only).string().error(), kTruncated);

  HandmadeBlob short_bytes;
  short_bytes.u32(5).raw("abc");
  EXPECT_EQ(at_start(short_bytes).string().error(), kTruncated);

  // A length that claims the whole 32-bit range over a few bytes.
  HandmadeBlob forged;
  forged.u32(0xFFFFFFFFu).raw("abcd");
  EXPECT_EQ(at_start(forged).string().error(), kTruncated);

  // Truncation is decided before the bytes are looked at.
  HandmadeBlob bad_and_short;
  bad_and_short.u32(3).raw("\xFF");
  EXPECT_EQ(at_start(bad_and_short).string().error(), kTruncated);
}

TEST(ReaderMap, CanonicalMapIsKeptAsItStands) {
  HandmadeBlob b;
  b.u32(4)
      .str("a").u8(0).u64(static_cast<uint64_t>(-5))
      .str("ab").u8(1).f64(-0.0)
      .str("b").u8(2).u8(1)
      .str("\xC3\xA9").u8(3).str("r");  // é sorts after every ASCII key
  Reader r = at_start(b);
  auto m = r.map();
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m.value().canonical);
  EXPECT_EQ(m.value().bytes, b.bytes());
  EXPECT_EQ(r.remaining(), 0u);

  auto p = at_start(b).params();
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().view().encoded(), b.bytes());
  EXPECT_EQ(p.value().display(), "{a=-5, ab=-0, b=true, \xC3\xA9=\"r\"}");
}

TEST(ReaderMap, UnsortedKeysAndLooseBoolsAreNormalised) {
  HandmadeBlob b;
  b.u32(4)
      .str("z").u8(2).u8(2)
      .str("k").u8(0).u64(1)
      .str("a").u8(2).u8(0)
      .str("k").u8(3).str("second k");
  auto m = at_start(b).map();
  ASSERT_TRUE(m.ok());
  EXPECT_FALSE(m.value().canonical);

  auto p = at_start(b).params();
  ASSERT_TRUE(p.ok());
  HandmadeBlob sorted;
  sorted.u32(4)
      .str("a").u8(2).u8(0)
      .str("k").u8(0).u64(1)
      .str("k").u8(3).str("second k")  // equal keys keep their blob order
      .str("z").u8(2).u8(1);           // bool byte 2 is true, written as 1
  EXPECT_EQ(p.value().view().encoded(), sorted.bytes());
}

// Key order is unsigned bytes with a proper prefix first, embedded zero bytes
// and keys longer than a machine word included.
TEST(ReaderMap, KeyOrderIsTheBytewiseOrder) {
  using namespace std::string_literals;
  const std::vector<std::string> keys = {
      ""s, "a"s, "a\0"s, "a\0\0"s, "ab"s, "abcdefg\xC3\xA9"s, "abcdefgh"s, "abcdefgh\0"s,
      "abcdefgha"s, "abcdefghb"s, "abcdefgi"s, "\xC3\xA9"s, "z"s, "\0"s, "\0\0\0\0\0\0\0\0\0"s};
  for (const std::string& first : keys) {
    for (const std::string& second : keys) {
      HandmadeBlob b;
      b.u32(2).str(first).u8(0).u64(1).str(second).u8(0).u64(2);
      auto m = at_start(b).map();
      ASSERT_TRUE(m.ok());
      EXPECT_EQ(m.value().canonical, !(std::string_view(second) < std::string_view(first)))
          << to_hex(first) << " then " << to_hex(second);
    }
  }
}

TEST(ReaderMap, ABoolByteAloneMakesTheMapNonCanonical) {
  HandmadeBlob b;
  b.u32(1).str("flag").u8(2).u8(7);
  auto m = at_start(b).map();
  ASSERT_TRUE(m.ok());
  EXPECT_FALSE(m.value().canonical);
}

struct MapErrorCase {
  const char* label;
  HandmadeBlob bytes;
  DecodeError expected;
  friend void PrintTo(const MapErrorCase& c, std::ostream* os) { *os << c.label; }
};

class ReaderMapError : public ::testing::TestWithParam<MapErrorCase> {};

TEST_P(ReaderMapError, FirstFailingCheckWins) {
  const MapErrorCase& c = GetParam();
  auto m = at_start(c.bytes).map();
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error(), c.expected) << m.error().display();
  auto p = at_start(c.bytes).params();
  ASSERT_FALSE(p.ok());
  EXPECT_EQ(p.error(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ReaderMapError,
    ::testing::Values(
        MapErrorCase{"no_count", HandmadeBlob().u8(1).u8(0), kTruncated},
        MapErrorCase{"forged_count", HandmadeBlob().u32(0xFFFFFFFFu).str("k").u8(0).u64(1), kTruncated},
        MapErrorCase{"no_tag", HandmadeBlob().u32(1).str("k"), kTruncated},
        // The tag is judged before its payload is looked for.
        MapErrorCase{"bad_tag_without_payload", HandmadeBlob().u32(1).str("k").u8(4),
                     DecodeError::invalid_tag(TagField::Param, 4)},
        MapErrorCase{"bad_tag_255", HandmadeBlob().u32(1).str("k").u8(255).u64(0),
                     DecodeError::invalid_tag(TagField::Param, 255)},
        MapErrorCase{"short_int", HandmadeBlob().u32(1).str("k").u8(0).raw("1234567"), kTruncated},
        MapErrorCase{"short_float", HandmadeBlob().u32(1).str("k").u8(1), kTruncated},
        MapErrorCase{"no_bool_byte", HandmadeBlob().u32(1).str("k").u8(2), kTruncated},
        MapErrorCase{"short_str", HandmadeBlob().u32(1).str("k").u8(3).u32(2).raw("a"), kTruncated},
        MapErrorCase{"bad_key", HandmadeBlob().u32(1).str("\xC0\xAF").u8(4),
                     DecodeError::invalid_utf8()},
        MapErrorCase{"bad_str_value", HandmadeBlob().u32(1).str("k").u8(3).str("\xED\xA0\x80"),
                     DecodeError::invalid_utf8()},
        // The second entry's fault is only reached after the first is read.
        MapErrorCase{"second_entry", HandmadeBlob().u32(2).str("a").u8(0).u64(1).str("b").u8(9),
                     DecodeError::invalid_tag(TagField::Param, 9)}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

TEST(ReaderInputs, IdsMustBeBelowTheLimit) {
  HandmadeBlob b;
  b.u32(3).u64(0).u64(4).u64(4);
  Reader r = at_start(b);
  auto in = r.inputs(5);
  ASSERT_TRUE(in.ok());
  EXPECT_EQ(in.value().to_vector(), (std::vector<uint64_t>{0, 4, 4}));
  EXPECT_EQ(r.remaining(), 0u);

  EXPECT_EQ(at_start(b).inputs(4).error(), DecodeError::node_ref_out_of_range(4));
  EXPECT_EQ(at_start(b).inputs(0).error(), DecodeError::node_ref_out_of_range(0));

  HandmadeBlob empty;
  empty.u32(0);
  auto none = at_start(empty).inputs(0);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().empty());
}

TEST(ReaderInputs, EachIdIsCheckedAsSoonAsItIsRead) {
  // A bad id that is present wins over the shortfall that follows it...
  HandmadeBlob bad_then_short;
  bad_then_short.u32(3).u64(0).u64(9).raw("1234");
  EXPECT_EQ(at_start(bad_then_short).inputs(5).error(), DecodeError::node_ref_out_of_range(9));
  // ...while good ids followed by a shortfall end in Truncated.
  HandmadeBlob good_then_short;
  good_then_short.u32(3).u64(0).u64(1);
  EXPECT_EQ(at_start(good_then_short).inputs(5).error(), kTruncated);
  HandmadeBlob no_count;
  no_count.u8(1);
  EXPECT_EQ(at_start(no_count).inputs(5).error(), kTruncated);
  HandmadeBlob huge_id;
  huge_id.u32(1).u64(~uint64_t{0});
  EXPECT_EQ(at_start(huge_id).inputs(5).error(), DecodeError::node_ref_out_of_range(~uint64_t{0}));
}

TEST(ReaderInputs, AForgedCountEndsAtOnce) {
  HandmadeBlob b;
  b.u32(0xFFFFFFFFu).u64(0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(at_start(b).inputs(1).error(), kTruncated);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// One record as the only record of a blob, at index `index`.
struct PlainCase {
  const char* label;
  HandmadeBlob record;
  uint32_t index;
  bool plain;  // taken by the tight pass, not left to the full checks
  friend void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.label; }
};

class PlainRecord : public ::testing::TestWithParam<PlainCase> {};

std::string blob_of(const PlainCase& c, std::string_view record) {
  HandmadeBlob b;
  b.header(c.index + 1);
  for (uint32_t i = 0; i < c.index; ++i) b.source("s" + std::to_string(i));
  return b.bytes() + std::string(record);
}

// The tight pass agrees with the full checks on the record and on every cut
// of it, which it must always leave to them.
TEST_P(PlainRecord, AgreesWithTheFullChecks) {
  const PlainCase& c = GetParam();
  const std::string& record = c.record.bytes();
  size_t plain = 0;
  ASSERT_TRUE(plain_records_agree(blob_of(c, record), &plain));
  EXPECT_EQ(plain, c.index + (c.plain ? 1u : 0u));
  for (size_t cut = 0; cut < record.size(); ++cut) {
    plain = 0;
    ASSERT_TRUE(plain_records_agree(blob_of(c, record.substr(0, cut)), &plain)) << cut;
    EXPECT_EQ(plain, c.index) << cut;
  }
}

HandmadeBlob rec() { return HandmadeBlob(); }

INSTANTIATE_TEST_SUITE_P(
    Shapes, PlainRecord,
    ::testing::Values(
        PlainCase{"source", rec().u8(0).str("src").u32(3).str("i").u8(0).u64(7).str("scale").u8(1).f64(1.5)
                                .str("tag").u8(3).str("t"), 0, true},
        PlainCase{"op_two_inputs", rec().u8(1).str("add").u32(0).u32(2).u64(0).u64(1), 2, true},
        PlainCase{"op_bool_params", rec().u8(1).str("f").u32(2).str("a").u8(2).u8(1).str("b").u8(2).u8(0).u32(1)
                                        .u64(0), 1, true},
        PlainCase{"reduction", rec().u8(2).str("sum").u32(1).str("axis").u8(0).u64(0).u32(1).u64(0), 1, true},
        PlainCase{"exchange", rec().u8(5).u32(1).str("scheme").u8(3).str("hash").u32(1).u64(0), 1, true},
        PlainCase{"equal_keys", rec().u8(0).str("x").u32(2).str("k").u8(0).u64(1).str("k").u8(0).u64(2), 0, true},
        PlainCase{"long_texts", rec().u8(0).str("a_name_longer_than_a_word").u32(1).str("key_longer_than_8")
                                    .u8(3).str("a value longer than a word"), 0, true},
        PlainCase{"nan", rec().u8(0).str("x").u32(1).str("v").u8(1).u64(0x7FF8000000000001ull), 0, true},
        PlainCase{"empty_texts", rec().u8(0).str("").u32(1).str("").u8(3).str(""), 0, true},
        PlainCase{"non_ascii_name", rec().u8(0).str("h\xC3\xA9").u32(0), 0, false},
        PlainCase{"non_ascii_key", rec().u8(0).str("x").u32(1).str("\xC3\xA9").u8(0).u64(1), 0, false},
        PlainCase{"non_ascii_value", rec().u8(0).str("x").u32(1).str("k").u8(3).str("\xC3\xA9"), 0, false},
        PlainCase{"bad_utf8_name", rec().u8(0).str("\xFF").u32(0), 0, false},
        PlainCase{"unsorted_keys", rec().u8(0).str("x").u32(2).str("b").u8(0).u64(1).str("a").u8(0).u64(2), 0,
                  false},
        PlainCase{"loose_bool", rec().u8(0).str("x").u32(1).str("b").u8(2).u8(2), 0, false},
        PlainCase{"bad_param_tag", rec().u8(0).str("x").u32(1).str("b").u8(4).u8(0), 0, false},
        PlainCase{"input_not_earlier", rec().u8(1).str("f").u32(0).u32(2).u64(0).u64(1), 1, false},
        PlainCase{"external", rec().u8(3).str("k").str("h").str("f").str("v").str("io").u8(0).u32(0).u32(0), 0,
                  false},
        PlainCase{"stage", rec().u8(4).u32(1).u64(0).u32(1).str("op|neg").u32(1).u8(0).u32(0), 1, false},
        PlainCase{"node_tag_6", rec().u8(6).u32(0), 0, false}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

TEST(DecodeErrorText, DisplaysAreTheMessagesPythonRaises) {
  EXPECT_EQ(DecodeError::bad_magic().display(), "not a nodalis IR blob (bad magic/version)");
  EXPECT_EQ(DecodeError::truncated().display(), "truncated nodalis IR blob");
  EXPECT_EQ(DecodeError::invalid_tag(TagField::Node, 9).display(), "invalid node tag 9");
  EXPECT_EQ(DecodeError::invalid_tag(TagField::Param, 4).display(), "invalid param tag 4");
  EXPECT_EQ(DecodeError::invalid_tag(TagField::StageRef, 255).display(), "invalid stage-ref tag 255");
  EXPECT_EQ(DecodeError::invalid_utf8().display(), "invalid utf-8 in nodalis IR blob");
  EXPECT_EQ(DecodeError::node_ref_out_of_range(7).display(), "node reference 7 out of range");
  EXPECT_EQ(DecodeError::node_ref_out_of_range(~uint64_t{0}).display(),
            "node reference 18446744073709551615 out of range");
}

}  // namespace
}  // namespace nodalis::blob
