// The decoder on hand-made blobs: which error each malformed blob yields (and
// which one wins when several apply), normalisation of loose bytes and key
// order, and references that keep their meaning when records merge.
#include "blob/decoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "blob/blob_sample.h"
#include "blob/encoder.h"
#include "blob/handmade_blob.h"

namespace nodalis::blob {
namespace {

struct ErrorCase {
  const char* label;
  HandmadeBlob blob;
  const char* message;
  friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.label; }
};

class DecoderError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DecoderError, FirstFailingCheckWins) {
  const ErrorCase& c = GetParam();
  auto r = deserialize(c.blob);
  ASSERT_FALSE(r.ok()) << to_hex(c.blob.bytes());
  EXPECT_EQ(r.error().display(), c.message);
}

// A stage over node 0 with one member "op|neg" whose single argument is the
// given reference (tag, index).
HandmadeBlob stage_with_ref(uint8_t tag, uint32_t index) {
  HandmadeBlob b;
  b.header(2).source("x").u8(4).u32(1).u64(0).u32(1).str("op|neg").u32(1).u8(tag).u32(index);
  return b;
}

HandmadeBlob h() { return HandmadeBlob(); }

const char* kTruncated = "truncated nodalis IR blob";
const char* kBadMagic = "not a nodalis IR blob (bad magic/version)";

INSTANTIATE_TEST_SUITE_P(
    Header, DecoderError,
    ::testing::Values(
        ErrorCase{"empty", h(), kTruncated},
        ErrorCase{"three_bytes", h().raw("NIR"), kTruncated},
        ErrorCase{"short_and_not_magic", h().raw("XY"), kTruncated},
        ErrorCase{"magic_alone", h().raw("NIR1"), kTruncated},
        ErrorCase{"four_wrong_bytes", h().raw("ABCD"), kBadMagic},
        ErrorCase{"other_version", h().raw("NIR2").u32(0).u32(0), kBadMagic},
        ErrorCase{"lower_case", h().raw("nir1").u32(0).u32(0), kBadMagic},
        ErrorCase{"magic_and_part_of_count", h().raw("NIR1").u8(0).u8(0).u8(0), kTruncated},
        ErrorCase{"no_output_count", h().header(0), kTruncated},
        ErrorCase{"part_of_output_count", h().header(0).u8(0).u8(0), kTruncated},
        ErrorCase{"no_record", h().header(1), kTruncated}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Records, DecoderError,
    ::testing::Values(
        ErrorCase{"node_tag_6", h().header(1).u8(6), "invalid node tag 6"},
        ErrorCase{"node_tag_255", h().header(1).u8(255).u32(0), "invalid node tag 255"},
        ErrorCase{"node_tag_after_good_record", h().header(2).source("x").u8(9), "invalid node tag 9"},
        ErrorCase{"cut_name", h().header(1).u8(0).u32(3).raw("ab"), kTruncated},
        ErrorCase{"bad_name_before_bad_tag", h().header(1).u8(0).str("\xC3\x28").u32(1).str("k").u8(7),
                  "invalid utf-8 in nodalis IR blob"},
        ErrorCase{"param_tag_4", h().header(1).u8(0).str("x").u32(1).str("k").u8(4),
                  "invalid param tag 4"},
        ErrorCase{"no_params", h().header(1).u8(0).str("x"), kTruncated},
        ErrorCase{"input_is_own_record", h().header(2).source("x").op("f", {1}),
                  "node reference 1 out of range"},
        ErrorCase{"input_is_later_record", h().header(3).source("x").op("f", {2}).source("y"),
                  "node reference 2 out of range"},
        ErrorCase{"first_record_with_input", h().header(1).op("f", {0}), "node reference 0 out of range"},
        ErrorCase{"bad_input_before_shortfall",
                  h().header(2).source("x").u8(1).str("f").u32(0).u32(2).u64(7), "node reference 7 out of range"},
        ErrorCase{"good_input_then_shortfall", h().header(2).source("x").u8(1).str("f").u32(0).u32(2).u64(0),
                  kTruncated},
        ErrorCase{"exchange_input", h().header(2).source("x").u8(5).u32(0).u32(1).u64(3),
                  "node reference 3 out of range"},
        ErrorCase{"reduction_input", h().header(1).u8(2).str("sum").u32(0).u32(1).u64(0),
                  "node reference 0 out of range"},
        ErrorCase{"external_without_presence",
                  h().header(1).u8(3).str("k").str("h").str("f").str("v").str("io"), kTruncated},
        ErrorCase{"external_presence_without_text",
                  h().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(1), kTruncated},
        ErrorCase{"external_bad_descriptor_text",
                  h().header(1).u8(3).str("k").str("\xFF").str("f").str("v").str("io").u8(0).u32(0).u32(0),
                  "invalid utf-8 in nodalis IR blob"}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Stages, DecoderError,
    ::testing::Values(
        ErrorCase{"ref_tag_2", stage_with_ref(2, 0), "invalid stage-ref tag 2"},
        // The five bytes of a reference are required before its tag counts.
        ErrorCase{"ref_tag_2_cut",
                  h().header(2).source("x").u8(4).u32(1).u64(0).u32(1).str("op|neg").u32(1).u8(2).u8(0),
                  kTruncated},
        ErrorCase{"member_names_itself", stage_with_ref(1, 0), "node reference 0 out of range"},
        ErrorCase{"input_beyond_stage_inputs", stage_with_ref(0, 1), "node reference 1 out of range"},
        ErrorCase{"input_far_beyond", stage_with_ref(0, 0xFFFFFFFFu), "node reference 4294967295 out of range"},
        ErrorCase{"later_member",
                  h().header(2).source("x").u8(4).u32(1).u64(0).u32(2)
                      .str("op|neg").u32(1).u8(0).u32(0)
                      .str("op|abs").u32(1).u8(1).u32(1),
                  "node reference 1 out of range"},
        ErrorCase{"stage_input_out_of_range", h().header(2).source("x").u8(4).u32(1).u64(3).u32(0),
                  "node reference 3 out of range"},
        ErrorCase{"forged_member_count", h().header(2).source("x").u8(4).u32(0).u32(0xFFFFFFFFu).u32(0),
                  kTruncated},
        ErrorCase{"bad_token", h().header(2).source("x").u8(4).u32(0).u32(1).str("op|\xED\xA0\x80").u32(0),
                  "invalid utf-8 in nodalis IR blob"}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Outputs, DecoderError,
    ::testing::Values(
        ErrorCase{"output_equal_to_node_count", h().header(1).source("x").outputs({1}),
                  "node reference 1 out of range"},
        ErrorCase{"second_output_bad", h().header(1).source("x").outputs({0, 5}), "node reference 5 out of range"},
        ErrorCase{"output_id_cut", h().header(1).source("x").u32(1).u32(0), kTruncated},
        ErrorCase{"forged_output_count", h().header(1).source("x").u32(0xFFFFFFFFu).u64(0), kTruncated},
        // A bad record wins over a bad output: records come first.
        ErrorCase{"record_before_outputs", h().header(1).u8(8).outputs({9}), "invalid node tag 8"}),
    [](const auto& test_case) { return std::string(test_case.param.label); });

TEST(Decoder, AForgedNodeCountEndsAtOnce) {
  HandmadeBlob b;
  b.header(0xFFFFFFFFu).raw(std::string(12, '\0'));
  ASSERT_EQ(b.bytes().size(), 20u);
  auto start = std::chrono::steady_clock::now();
  auto r = deserialize(b);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), kTruncated);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(Decoder, BytesAfterTheOutputsAreIgnored) {
  std::string blob = serialize_with(*sample_store(), std::vector<ir::NodeId>{3, 1});
  auto r = deserialize(blob + "NIR1 trailing \xFF bytes");
  ASSERT_TRUE(r.ok()) << r.error().display();
  EXPECT_EQ(serialize_with(*r.value(), std::vector<ir::NodeId>{3, 1}), blob);
  EXPECT_EQ(r.value()->outputs(), (std::vector<ir::NodeId>{3, 1}));
}

TEST(Decoder, LooseBoolAndPresenceBytesAreWrittenBackAsOne) {
  HandmadeBlob loose;
  loose.header(2)
      .u8(0).str("s").u32(1).str("flag").u8(2).u8(2)
      .u8(3).str("k").str("h").str("f").str("v").str("io").u8(7).str("pre").u32(0).u32(0)
      .outputs({});
  auto r = deserialize(loose);
  ASSERT_TRUE(r.ok()) << r.error().display();
  HandmadeBlob canonical;
  canonical.header(2)
      .u8(0).str("s").u32(1).str("flag").u8(2).u8(1)
      .u8(3).str("k").str("h").str("f").str("v").str("io").u8(1).str("pre").u32(0).u32(0)
      .outputs({});
  EXPECT_EQ(to_hex(serialize_with(*r.value(), {})), to_hex(canonical.bytes()));
  for (const ir::NodeKey& key : r.value()->nodes()) EXPECT_TRUE(same_as_adopted(key));
  ir::NodeKey ext = r.value()->nodes()[1];
  ASSERT_TRUE(ext.descriptor().preprocessing_ref.has_value());
  EXPECT_EQ(*ext.descriptor().preprocessing_ref, "pre");
  EXPECT_TRUE((*r.value()->nodes()[0].params().begin()).value.b);
}

TEST(Decoder, UnsortedKeysComeBackSorted) {
  HandmadeBlob unsorted;
  unsorted.header(1).u8(0).str("s").u32(3)
      .str("side").u8(3).str("r")
      .str("scalar").u8(1).f64(1.0)
      .str("a").u8(0).u64(1)
      .outputs({0});
  auto r = deserialize(unsorted);
  ASSERT_TRUE(r.ok()) << r.error().display();
  HandmadeBlob sorted;
  sorted.header(1).u8(0).str("s").u32(3)
      .str("a").u8(0).u64(1)
      .str("scalar").u8(1).f64(1.0)
      .str("side").u8(3).str("r")
      .outputs({0});
  EXPECT_EQ(to_hex(serialize_with(*r.value(), std::vector<ir::NodeId>{0})), to_hex(sorted.bytes()));
  // The decoded key is the key a caller builds with the same params.
  ir::ParamMap same = ir::ParamMap::make({{"scalar", ir::ParamValue::Float(1.0)},
                                          {"a", ir::ParamValue::Int(1)},
                                          {"side", ir::ParamValue::Str("r")}});
  EXPECT_EQ(r.value()->intern(ir::NodeKey::source("s", same.view())).value(), 0u);
}

// Records 0 and 2 are equal, so record 2 merges into node 0; every later
// reference to record 2 or 3 must still name what it named when written.
TEST(Decoder, MergedRecordsKeepEveryReferenceMeaning) {
  HandmadeBlob b;
  b.header(6)
      .source("a")             // record 0 -> node 0
      .source("b")             // record 1 -> node 1
      .source("a")             // record 2 -> node 0 (merged)
      .op("f", {2, 1})         // record 3 -> node 2, f(a, b)
      .op("f", {0, 1})         // record 4 -> node 2 (merged: same key)
      .op("g", {4, 3, 2})      // record 5 -> node 3, g(f, f, a)
      .outputs({5, 2, 4, 0});
  auto r = deserialize(b);
  ASSERT_TRUE(r.ok()) << r.error().display();
  const ir::GraphStore& store = *r.value();
  ASSERT_EQ(store.node_count(), 4u);
  std::vector<ir::NodeKey> nodes = store.nodes();
  EXPECT_EQ(nodes[2].name(), "f");
  EXPECT_EQ(nodes[2].inputs().to_vector(), (std::vector<ir::NodeId>{0, 1}));
  EXPECT_EQ(nodes[3].name(), "g");
  EXPECT_EQ(nodes[3].inputs().to_vector(), (std::vector<ir::NodeId>{2, 2, 0}));
  EXPECT_EQ(store.outputs(), (std::vector<ir::NodeId>{3, 0, 2}));
  for (const ir::NodeKey& key : nodes) EXPECT_TRUE(same_as_adopted(key));
  // Output ids are record indices too: 6 records, so 5 is fine and 6 is not.
  HandmadeBlob past;
  past.header(2).source("a").source("a").outputs({1});
  auto merged = deserialize(past);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged.value()->outputs(), std::vector<ir::NodeId>{0});
}

// A merge anywhere in a long blob (inside a run of records, at its last
// record, at the first of the next) renumbers exactly the later references.
class DecoderMergeAt : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DecoderMergeAt, RenumbersEveryLaterReference) {
  const uint32_t n = 600, dup = GetParam();
  auto node_of = [&](uint32_t record) { return record < dup ? record : record == dup ? 0 : record - 1; };
  HandmadeBlob with_dup, expected;
  with_dup.header(n);
  expected.header(n - 1);
  for (uint32_t r = 0; r < n; ++r) {
    if (r == dup) {
      with_dup.source("s0");
    } else if (r == 0) {
      with_dup.source("s0");
      expected.source("s0");
    } else {
      const std::string name = "f" + std::to_string(r);
      with_dup.op(name, {r - 1});
      expected.op(name, {node_of(r - 1)});
    }
  }
  with_dup.outputs({dup, n - 1});
  // Marks keep one entry per node.
  if (node_of(n - 1) == 0) expected.outputs({0});
  else expected.outputs({0, node_of(n - 1)});
  auto r = deserialize(with_dup);
  ASSERT_TRUE(r.ok()) << r.error().display();
  ir::StoreSnapshot snap = r.value()->snapshot();
  EXPECT_TRUE(encode_nodes(snap.nodes, snap.outputs) == expected.bytes());
}

INSTANTIATE_TEST_SUITE_P(Positions, DecoderMergeAt, ::testing::Values(1u, 2u, 255u, 256u, 257u, 511u, 512u, 599u));

TEST(Decoder, RecordsEqualAfterNormalisationMerge) {
  HandmadeBlob b;
  b.header(3)
      .u8(0).str("s").u32(2).str("b").u8(2).u8(5).str("a").u8(0).u64(1)  // unsorted, loose bool
      .u8(0).str("s").u32(2).str("a").u8(0).u64(1).str("b").u8(2).u8(1)  // the same, canonical
      .op("neg", {1})
      .outputs({2});
  auto r = deserialize(b);
  ASSERT_TRUE(r.ok()) << r.error().display();
  ASSERT_EQ(r.value()->node_count(), 2u);
  EXPECT_EQ(r.value()->nodes()[1].inputs().to_vector(), std::vector<ir::NodeId>{0});
  EXPECT_EQ(r.value()->outputs(), std::vector<ir::NodeId>{1});
}

// Every NaN equals every other, so records that differ only in a NaN's
// payload are one node, which keeps the first record's bits.
TEST(Decoder, RecordsDifferingOnlyInANaNPayloadMerge) {
  HandmadeBlob b;
  b.header(3)
      .u8(0).str("s").u32(1).str("v").u8(1).u64(0x7FF0000000000123ull)
      .u8(0).str("s").u32(1).str("v").u8(1).u64(0xFFF8000000000000ull)
      .op("neg", {1})
      .outputs({1, 2});
  auto r = deserialize(b);
  ASSERT_TRUE(r.ok()) << r.error().display();
  ASSERT_EQ(r.value()->node_count(), 2u);
  std::vector<ir::NodeKey> nodes = r.value()->nodes();
  EXPECT_TRUE(nodes[0].has_nan());
  EXPECT_EQ((*nodes[0].params().begin()).value.bits, 0x7FF0000000000123ull);
  EXPECT_EQ(nodes[1].inputs().to_vector(), std::vector<ir::NodeId>{0});
  EXPECT_EQ(r.value()->outputs(), (std::vector<ir::NodeId>{0, 1}));
  for (const ir::NodeKey& key : nodes) EXPECT_TRUE(same_as_adopted(key));
}

TEST(Decoder, StageInputArgumentsWithinTheStageDecode) {
  auto r = deserialize(stage_with_ref(0, 0).outputs({1}));
  ASSERT_TRUE(r.ok()) << r.error().display();
  ir::NodeKey stage = r.value()->nodes()[1];
  ASSERT_EQ(stage.members().size(), 1u);
  ir::StageOpView member = *stage.members().begin();
  EXPECT_EQ(member.token(), "op|neg");
  EXPECT_EQ(member.ref(0), ir::StageRef::input(0));
}

}  // namespace
}  // namespace nodalis::blob
