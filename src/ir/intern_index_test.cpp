// The interning table under colliding hashes and the byte hash it is fed.
#include "ir/intern_index.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/hash.h"

namespace nodalis::ir {
namespace {

// The three ways nodes enter the table: a fresh probe per insert, the slot a
// miss noted (valid until the table grows: it must be where a fresh probe
// would land, or later lookups stop early), and all at once after appending.
enum class Entry { Probe, NotedSlot, AllAtOnce };

class InternIndexEntry : public ::testing::TestWithParam<Entry> {};

TEST_P(InternIndexEntry, CollidingHashesAreToldApartByTheirRecords) {
  // Every key gets one of three hashes, so tags and home slots collide all
  // the time, through several growths and in runs that wrap around the
  // table's end: only the records decide. The third has its tag bits all
  // zero, which must not leave its slots looking empty.
  constexpr int kKeys = 3000;
  InternIndex index;
  std::vector<NodeKey> nodes;
  nodes.reserve(kKeys);
  auto key = [](int i) { return NodeKey::source("k" + std::to_string(i), ParamMapView()); };
  auto hash = [](int i) {
    constexpr uint64_t kHashes[] = {0x9E3779B97F4A7C15ull, 0x3C6EF372FE94F82Aull, 0xDAA66D0000000000ull};
    return kHashes[i % 3];
  };
  if (GetParam() == Entry::AllAtOnce) index.reserve_hashes(kKeys);
  for (int i = 0; i < kKeys; ++i) {
    const NodeKey k = key(i);
    if (GetParam() == Entry::AllAtOnce) {
      nodes.push_back(k);
      index.append(hash(i));
      continue;
    }
    InternIndex::Miss miss;
    ASSERT_EQ(index.find(k.view(), hash(i), nodes.data(), miss), InternIndex::kNotFound) << i;
    index.reserve_one();
    nodes.push_back(k);
    if (GetParam() == Entry::NotedSlot)
      index.insert(static_cast<uint64_t>(i), hash(i), miss);
    else
      index.insert(static_cast<uint64_t>(i), hash(i));
  }
  if (GetParam() == Entry::AllAtOnce) {
    ASSERT_TRUE(index.place_appended(nodes.data()));
  }
  for (int i = 0; i < kKeys; ++i) EXPECT_EQ(index.find(key(i).view(), hash(i), nodes.data()), static_cast<uint64_t>(i));
  EXPECT_EQ(index.find(key(kKeys).view(), hash(kKeys), nodes.data()), InternIndex::kNotFound);
}

INSTANTIATE_TEST_SUITE_P(Ways, InternIndexEntry, ::testing::Values(Entry::Probe, Entry::NotedSlot, Entry::AllAtOnce));

TEST(InternIndexAllAtOnce, AnEqualPairAmongCollidingHashesIsRefused) {
  // The twin comes last, after a thousand nodes of the same hash homed on
  // the last slot; the table is usable again once cleared.
  constexpr uint64_t kLastHome = 0xFFFFFFFF00000000ull;
  std::vector<NodeKey> nodes;
  for (int i = 0; i < 1000; ++i) nodes.push_back(NodeKey::source("k" + std::to_string(i), ParamMapView()));
  nodes.push_back(nodes[3]);
  InternIndex index;
  index.reserve_hashes(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) index.append(kLastHome);
  EXPECT_FALSE(index.place_appended(nodes.data()));
  index.clear();
  index.reserve_one();
  index.insert(0, kLastHome);
  EXPECT_EQ(index.find(nodes[0].view(), kLastHome, nodes.data()), 0u);
  EXPECT_EQ(index.find(nodes[1].view(), kLastHome, nodes.data()), InternIndex::kNotFound);
}

TEST(ByteHash, EveryByteAndTheLengthCount) {
  // Texts of every tail length (0-40 bytes) and each one-byte change of them
  // hash apart, trailing zero bytes included.
  std::set<uint64_t> seen;
  size_t count = 0;
  for (size_t n = 0; n <= 40; ++n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 7);
    seen.insert(hash_bytes(42, s.data(), s.size()));
    ++count;
    for (size_t i = 0; i < n; ++i) {
      std::string t = s;
      t[i] = static_cast<char>(t[i] ^ 0x10);
      seen.insert(hash_bytes(42, t.data(), t.size()));
      ++count;
    }
  }
  EXPECT_EQ(seen.size(), count);
  const std::string zeros(9, '\0');
  EXPECT_NE(hash_bytes(1, zeros.data(), 8), hash_bytes(1, zeros.data(), 9));
  EXPECT_NE(hash_bytes(1, "ab", 2), hash_bytes(2, "ab", 2));
}

}  // namespace
}  // namespace nodalis::ir
