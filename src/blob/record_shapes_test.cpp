// A record matched against a learned shape must be one the full checks
// accept as it stands, described as they describe it; anything whose layout
// differs, or whose ids or bytes fall short, must be left to them.
#include "blob/record_shapes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "blob/handmade_blob.h"
#include "blob/reader.h"

namespace nodalis::blob {
namespace {

HandmadeBlob rec() { return HandmadeBlob(); }

struct ShapeCase {
  const char* label;
  HandmadeBlob learned;  // a record the full checks accept
  HandmadeBlob other;    // the record to match, at index 5
  bool matches;
  size_t room_after = 64;  // bytes that follow `other` in its buffer
  friend void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.label; }
};

class RecordShapesMatch : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(RecordShapesMatch, OnlyWhatTheFullChecksAcceptAsTheyDescribeIt) {
  const ShapeCase& c = GetParam();
  constexpr uint64_t kIndex = 5;
  auto shapes = std::make_unique<RecordShapes>();
  // The learned record as the full checks describe it, with room after it.
  const std::string learned = c.learned.bytes() + std::string(64, '\0');
  auto first = Reader(learned, 0).record(kIndex);
  ASSERT_TRUE(first.ok() && first.value().canonical);
  shapes->learn(first.value().view, learned.data() + learned.size());

  // Zero bytes past `end` too, so that a read past it would find ids in range.
  const std::string other = c.other.bytes() + std::string(c.room_after + 64, '\0');
  const char* end = other.data() + c.other.bytes().size() + c.room_after;
  ir::RecordView view;
  const bool matched = shapes->match(other.data(), end, kIndex, view);
  ASSERT_EQ(matched, c.matches);
  if (!matched) return;
  auto full = Reader(std::string_view(other.data(), end - other.data()), 0).record(kIndex);
  ASSERT_TRUE(full.ok());
  EXPECT_TRUE(full.value().canonical);
  const ir::RecordView& want = full.value().view;
  EXPECT_EQ(view.bytes.data(), want.bytes.data());
  EXPECT_EQ(view.bytes.size(), want.bytes.size());
  EXPECT_EQ(view.params_off, want.params_off);
  EXPECT_EQ(view.inputs_off, want.inputs_off);
  EXPECT_EQ(view.has_nan, want.has_nan);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordShapesMatch,
    ::testing::Values(
        ShapeCase{"other_payloads_and_ids",
                  rec().u8(1).str("add").u32(2).str("axis").u8(0).u64(1).str("scale").u8(1).f64(1.5).u32(2)
                      .u64(0).u64(1),
                  rec().u8(1).str("add").u32(2).str("axis").u8(0).u64(~uint64_t{0}).str("scale").u8(1).f64(-2)
                      .u32(2).u64(4).u64(3),
                  true},
        ShapeCase{"a_nan_payload", rec().u8(0).str("x").u32(1).str("v").u8(1).f64(0.5),
                  rec().u8(0).str("x").u32(1).str("v").u8(1).u64(0x7FF0000000000001ull), true},
        ShapeCase{"more_inputs", rec().u8(2).str("sum").u32(1).str("axis").u8(0).u64(0).u32(1).u64(0),
                  rec().u8(2).str("sum").u32(1).str("axis").u8(0).u64(0).u32(3).u64(0).u64(4).u64(2), true},
        ShapeCase{"an_exchange", rec().u8(5).u32(1).str("scheme").u8(3).str("hash").u32(1).u64(0),
                  rec().u8(5).u32(1).str("scheme").u8(3).str("hash").u32(1).u64(4), true},
        ShapeCase{"an_input_not_earlier", rec().u8(1).str("neg").u32(1).str("axis").u8(0).u64(0).u32(1).u64(0),
                  rec().u8(1).str("neg").u32(1).str("axis").u8(0).u64(0).u32(2).u64(0).u64(5), false},
        ShapeCase{"ids_past_the_end", rec().u8(1).str("neg").u32(1).str("axis").u8(0).u64(0).u32(1).u64(0),
                  rec().u8(1).str("neg").u32(1).str("axis").u8(0).u64(0).u32(9).u64(0), false, 56},
        ShapeCase{"a_second_float_a_nan",
                  rec().u8(0).str("x").u32(2).str("u").u8(1).f64(0.5).str("v").u8(1).f64(0.5),
                  rec().u8(0).str("x").u32(2).str("u").u8(1).f64(2).str("v").u8(1).u64(0x7FF8000000000000ull),
                  true},
        ShapeCase{"no_inputs", rec().u8(1).str("neg").u32(0).u32(0), rec().u8(1).str("neg").u32(0).u32(0), true},
        ShapeCase{"a_first_input_not_earlier",
                  rec().u8(1).str("neg").u32(1).str("axis").u8(0).u64(0).u32(1).u64(0),
                  rec().u8(1).str("neg").u32(1).str("axis").u8(0).u64(0).u32(1).u64(5), false},
        // 52 bytes before the input list: the second id lies past the end.
        ShapeCase{"a_second_id_past_the_end",
                  rec().u8(1).str(std::string(26, 'n')).u32(1).str("axis").u8(0).u64(0).u32(1).u64(0),
                  rec().u8(1).str(std::string(26, 'n')).u32(1).str("axis").u8(0).u64(0).u32(2).u64(0), false, 0},
        // 62 bytes before the input list: its count is not within the 64
        // bytes known to be there, so no such shape is kept.
        ShapeCase{"a_count_past_the_end",
                  rec().u8(1).str("abc").u32(1).str(std::string(37, 'k')).u8(0).u64(1).u32(1).u64(0),
                  rec().u8(1).str("abc").u32(1).str(std::string(37, 'k')).u8(0).u64(1), false, 2},
        ShapeCase{"fewer_than_64_bytes_left", rec().u8(0).str("a").u32(0), rec().u8(0).str("a").u32(0), false, 40},
        ShapeCase{"another_name", rec().u8(1).str("add").u32(0).u32(1).u64(0),
                  rec().u8(1).str("sub").u32(0).u32(1).u64(0), false},
        ShapeCase{"another_kind", rec().u8(1).str("sum").u32(0).u32(1).u64(0),
                  rec().u8(2).str("sum").u32(0).u32(1).u64(0), false},
        ShapeCase{"another_tag", rec().u8(0).str("x").u32(1).str("v").u8(0).u64(1),
                  rec().u8(0).str("x").u32(1).str("v").u8(1).u64(1), false},
        ShapeCase{"a_loose_bool", rec().u8(0).str("x").u32(1).str("b").u8(2).u8(1),
                  rec().u8(0).str("x").u32(1).str("b").u8(2).u8(2), false},
        ShapeCase{"another_text_value", rec().u8(0).str("x").u32(1).str("side").u8(3).str("r"),
                  rec().u8(0).str("x").u32(1).str("side").u8(3).str("\xC3"), false},
        ShapeCase{"unsorted_keys", rec().u8(0).str("x").u32(2).str("a").u8(0).u64(1).str("b").u8(0).u64(1),
                  rec().u8(0).str("x").u32(2).str("b").u8(0).u64(1).str("a").u8(0).u64(1), false}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

}  // namespace
}  // namespace nodalis::blob
