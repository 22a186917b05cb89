// Refreshing the symbol index: a stable sort of the fresh pairs by symbol
// (their class order is already ascending), then one merge with the old array.
#include "egraph/op_index.h"

namespace nodalis::egraph {
namespace {

// Stable counting sort on one 11-bit digit of the symbol half. Small digits
// keep the scatter's write targets few enough to stay in cache.
constexpr unsigned kDigitBits = 11;
constexpr size_t kBuckets = size_t{1} << kDigitBits;

void sort_digit(std::vector<uint64_t>& in, std::vector<uint64_t>& out, unsigned shift) {
  std::vector<uint32_t> count(kBuckets + 1, 0);
  for (uint64_t e : in) ++count[((e >> shift) & (kBuckets - 1)) + 1];
  for (size_t k = 0; k < kBuckets; ++k) {
    if (count[k + 1] == in.size()) return;  // one digit value: already in order
  }
  for (size_t k = 1; k < count.size(); ++k) count[k] += count[k - 1];
  out.resize(in.size());
  for (uint64_t e : in) out[count[(e >> shift) & (kBuckets - 1)]++] = e;
  in.swap(out);
}

}  // namespace

void OpIndex::refresh(std::vector<uint64_t>& fresh, const UnionFind& uf) {
  // Past about a thousand pairs the digit passes cost less than comparing.
  if (fresh.size() < 1024) {
    std::sort(fresh.begin(), fresh.end());
  } else {
    for (unsigned shift = 32; shift < 64; shift += kDigitBits) sort_digit(fresh, scratch_, shift);
  }
  if (entries_.empty()) {
    // Nothing to merge with, and fresh pairs name roots only. The sort's
    // scratch is let go after a large load, where it is as large as the
    // index; a small one keeps it for the merges that follow.
    entries_.swap(fresh);
    if (scratch_.capacity() > kKeptScratch) std::vector<uint64_t>().swap(scratch_);
    return;
  }
  scratch_.clear();
  scratch_.reserve(entries_.size() + fresh.size());
  size_t i = 0, j = 0;
  while (i < entries_.size() || j < fresh.size()) {
    uint64_t next;
    if (j == fresh.size() || (i < entries_.size() && entries_[i] < fresh[j])) {
      next = entries_[i++];
      if (!uf.is_root(static_cast<Id>(next))) continue;
    } else {
      next = fresh[j++];
      if (i < entries_.size() && entries_[i] == next) ++i;
    }
    scratch_.push_back(next);
  }
  entries_.swap(scratch_);
  scratch_.clear();
}

}  // namespace nodalis::egraph
