// The symbol index against a plain model: after each refresh its entries are
// the sorted union of the surviving old pairs and the fresh ones, for short
// lists (compared) and long ones (sorted by digits), over symbols that differ
// in few or many bits, interned and local alike.
#include "egraph/op_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace nodalis::egraph {
namespace {

// Fresh pairs for classes [first, first + n), one to three distinct symbols
// each from `symbols`, in ascending class order.
std::vector<uint64_t> fresh_pairs(std::mt19937& rng, Id first, Id n, const std::vector<uint32_t>& symbols) {
  std::vector<uint64_t> out;
  for (Id c = first; c < first + n; ++c) {
    std::set<uint32_t> mine;
    const size_t k = 1 + rng() % 3;
    while (mine.size() < std::min(k, symbols.size())) mine.insert(symbols[rng() % symbols.size()]);
    for (uint32_t s : mine) out.push_back(OpIndex::entry(GlobalSymbol::from_raw(s), c));
  }
  return out;
}

std::vector<uint64_t> listed(const OpIndex& index, const std::vector<uint32_t>& symbols) {
  std::set<uint32_t> distinct(symbols.begin(), symbols.end());
  std::vector<uint64_t> out;
  for (uint32_t s : distinct) {
    for (Id c : index.classes_with_op(GlobalSymbol::from_raw(s))) out.push_back(OpIndex::entry(GlobalSymbol::from_raw(s), c));
  }
  return out;
}

TEST(OpIndex, RefreshKeepsTheSortedUnionOfLiveOldPairsAndFreshOnes) {
  const uint32_t local = GlobalSymbol::kLocalBit;
  // Per set: how many symbols, drawn under which masks (each symbol takes
  // the next mask in turn).
  const std::vector<std::pair<int, std::vector<uint32_t>>> shapes = {
      {1, {0x7}},                                   // one symbol
      {12, {0x7ff}},                                // small interned ones
      {16, {0x3fff, local | 0x3fff}},               // interned and local
      {12, {local | 0x1ffff}},                      // local only
      {12, {0xffffffff}},                           // any bit may differ
  };
  std::mt19937 draw(11);
  std::vector<std::vector<uint32_t>> symbol_sets;
  for (const auto& [count, masks] : shapes) {
    std::vector<uint32_t> set;
    for (int k = 0; k < count; ++k) {
      const uint32_t mask = masks[k % masks.size()];
      set.push_back((static_cast<uint32_t>(draw()) & mask) | (mask & local));
    }
    symbol_sets.push_back(set);
  }
  for (size_t set = 0; set < symbol_sets.size(); ++set) {
    const std::vector<uint32_t>& symbols = symbol_sets[set];
    for (Id n : {Id{40}, Id{3000}}) {
      std::mt19937 rng(static_cast<unsigned>(set * 7 + n));
      UnionFind uf;
      for (Id c = 0; c < 2 * n; ++c) uf.make_set();
      OpIndex index;
      std::vector<uint64_t> model = fresh_pairs(rng, 0, n, symbols);
      std::vector<uint64_t> fresh = model;
      index.refresh(fresh, uf);
      std::sort(model.begin(), model.end());
      ASSERT_EQ(listed(index, symbols), model) << "set " << set << " n " << n;

      // Merge away every third class, re-list some survivors with new
      // symbols, and add classes past the old ones.
      for (Id c = 0; c < n; c += 3) uf.set_parent(c, c + 1);
      std::vector<uint64_t> touched;
      for (Id c = 1; c < n; c += 5) {
        if (!uf.is_root(c)) continue;
        for (uint64_t p : fresh_pairs(rng, c, 1, symbols)) touched.push_back(p);
      }
      for (uint64_t p : fresh_pairs(rng, n, n, symbols)) touched.push_back(p);
      std::set<uint64_t> expect;
      for (uint64_t p : model) {
        if (uf.is_root(static_cast<Id>(p))) expect.insert(p);
      }
      expect.insert(touched.begin(), touched.end());
      index.refresh(touched, uf);
      EXPECT_EQ(listed(index, symbols), std::vector<uint64_t>(expect.begin(), expect.end()))
          << "set " << set << " n " << n;
      EXPECT_EQ(index.size(), expect.size());
    }
  }
}

}  // namespace
}  // namespace nodalis::egraph
