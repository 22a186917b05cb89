// Replays the fuzzer's seed corpus through the decoder: each blob yields a
// store whose re-encoding is a fixed point, or one of the five errors, and
// the reader's tight record pass agrees with its full checks on it. The
// hand-written seeds also have their expected outcome checked; found/ holds
// small inputs the fuzzer reached new code with.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "blob/blob_sample.h"
#include "blob/decoder.h"
#include "blob/encoder.h"

namespace nodalis::blob {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string encode(const ir::GraphStore& store) {
  ir::StoreSnapshot snap = store.snapshot();
  return encode_nodes(snap.nodes, snap.outputs);
}

// "ok" for a blob that decodes, else the error's display text.
const std::map<std::string, std::string> kExpected = {
    {"empty", "ok"},
    {"source_marked", "ok"},
    {"stage", "ok"},
    {"all_kinds", "ok"},
    {"unsorted_keys", "ok"},
    {"loose_bytes", "ok"},
    {"merged_records", "ok"},
    {"trailing_bytes", "ok"},
    {"bad_magic", "not a nodalis IR blob (bad magic/version)"},
    {"truncated_header", "truncated nodalis IR blob"},
    {"node_tag_6", "invalid node tag 6"},
    {"param_tag_4", "invalid param tag 4"},
    {"stage_ref_tag_2", "invalid stage-ref tag 2"},
    {"input_out_of_range", "node reference 1 out of range"},
    {"stage_input_out_of_range", "node reference 3 out of range"},
    {"output_out_of_range", "node reference 1 out of range"},
    {"bad_utf8", "invalid utf-8 in nodalis IR blob"},
    {"forged_node_count", "truncated nodalis IR blob"},
    {"forged_output_count", "truncated nodalis IR blob"},
};

TEST(FuzzCorpus, EveryBlobDecodesOrFailsWithADecodeError) {
  const fs::path dir = fs::path(NODALIS_SOURCE_DIR) / "src" / "blob" / "fuzz_corpus";
  const std::regex five(
      "not a nodalis IR blob \\(bad magic/version\\)|truncated nodalis IR blob|"
      "invalid (node|param|stage-ref) tag [0-9]+|invalid utf-8 in nodalis IR blob|"
      "node reference [0-9]+ out of range");
  size_t replayed = 0, expected_seen = 0;
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    if (!item.is_regular_file() || item.path().extension() == ".py") continue;
    const std::string name = item.path().stem().string();
    SCOPED_TRACE(name);
    const std::string blob = read_file(item.path());
    EXPECT_TRUE(plain_records_agree(blob));
    auto decoded = deserialize(blob);
    std::string outcome = "ok";
    if (decoded) {
      std::string once = encode(*decoded.value());
      auto again = deserialize(once);
      ASSERT_TRUE(again.ok());
      EXPECT_EQ(encode(*again.value()), once);
    } else {
      outcome = decoded.error().display();
      EXPECT_TRUE(std::regex_match(outcome, five)) << outcome;
    }
    if (auto it = kExpected.find(name); it != kExpected.end()) {
      EXPECT_EQ(outcome, it->second);
      ++expected_seen;
    }
    ++replayed;
  }
  EXPECT_EQ(expected_seen, kExpected.size());
  EXPECT_GE(replayed, kExpected.size() + 100);
}

}  // namespace
}  // namespace nodalis::blob
