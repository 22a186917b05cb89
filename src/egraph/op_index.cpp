// Refreshing the symbol index: a stable sort of the fresh pairs by symbol
// (their class order is already ascending), then one merge with the old array.
#include "egraph/op_index.h"

#include <algorithm>

namespace nodalis::egraph {
namespace {

// The symbols of one e-graph differ in few bits: interned ones are small
// numbers, local ones small numbers with the top bit set. Bits that no two
// symbols of a list differ in cannot change their order, so the sort key is
// the low bits up to the highest differing one below the top, with the top
// bit placed just above them when it differs: usually under twenty bits,
// sorted in one or two passes instead of three.
struct SymbolKey {
  unsigned low = 0;   // key bits below the top bit's place
  unsigned bits = 0;  // key width
  bool top = false;   // whether the top bit differs

  uint32_t operator()(uint64_t e) const noexcept {
    const uint32_t s = static_cast<uint32_t>(e >> 32);
    const uint32_t low_bits = low == 32 ? s : s & ((uint32_t{1} << low) - 1);
    return top ? low_bits | ((s >> 31) << low) : low_bits;
  }
};

SymbolKey key_of(const std::vector<uint64_t>& in) {
  uint32_t any = 0;
  uint32_t all = ~uint32_t{0};
  for (uint64_t e : in) {
    any |= static_cast<uint32_t>(e >> 32);
    all &= static_cast<uint32_t>(e >> 32);
  }
  const uint32_t differ = any ^ all;
  SymbolKey key;
  key.top = (differ >> 31) != 0;
  const uint32_t below = differ & 0x7fffffffu;
  key.low = below == 0 ? 0 : 32 - static_cast<unsigned>(__builtin_clz(below));
  key.bits = key.low + (key.top ? 1 : 0);
  return key;
}

// Stable counting sort on one digit of the key. Digits of at most 11 bits
// keep the scatter's write targets few enough to stay in cache.
constexpr unsigned kMaxDigitBits = 11;

void sort_digit(std::vector<uint64_t>& in, std::vector<uint64_t>& out, const SymbolKey& key, unsigned shift,
                unsigned digit_bits) {
  const size_t buckets = size_t{1} << digit_bits;
  const uint32_t mask = static_cast<uint32_t>(buckets - 1);
  uint32_t count[(size_t{1} << kMaxDigitBits) + 1];
  std::fill(count, count + buckets + 1, 0u);
  for (uint64_t e : in) ++count[((key(e) >> shift) & mask) + 1];
  for (size_t k = 1; k <= buckets; ++k) count[k] += count[k - 1];
  out.resize(in.size());
  for (uint64_t e : in) out[count[(key(e) >> shift) & mask]++] = e;
  in.swap(out);
}

}  // namespace

void OpIndex::refresh(std::vector<uint64_t>& fresh, const UnionFind& uf) {
  // Past about a thousand pairs the digit passes cost less than comparing.
  if (fresh.size() < 1024) {
    std::sort(fresh.begin(), fresh.end());
  } else {
    const SymbolKey key = key_of(fresh);
    const unsigned passes = (key.bits + kMaxDigitBits - 1) / kMaxDigitBits;
    if (passes > 0) {
      const unsigned digit_bits = (key.bits + passes - 1) / passes;
      for (unsigned shift = 0; shift < key.bits; shift += digit_bits) {
        sort_digit(fresh, scratch_, key, shift, std::min(digit_bits, key.bits - shift));
      }
    }
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
