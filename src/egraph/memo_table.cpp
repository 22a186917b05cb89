// The memo's bulk insert: a whole load entered in the order of its home
// slots, so that a table larger than the caches is written front to back
// instead of at random.
#include "egraph/memo_table.h"

#include "base/fault.h"

namespace nodalis::egraph {

bool MemoTable::insert_all_distinct(const BlockList<SymbolLang>& keys, size_t first, Id first_value) {
  if (size() != 0) throw InternalFault("bulk memo insert into a table in use");
  const size_t n = keys.size() - first;
  if (n < kSortFrom) {
    // A table this small stays in the caches: entered in key order.
    for (size_t k = first; k < keys.size(); ++k) {
      Probe probe = this->probe(keys[k], keys);
      if (probe.found) return false;
      insert_at(probe, static_cast<uint32_t>(k), first_value + static_cast<Id>(k - first));
    }
    return true;
  }
  // The narrow keys as their slots hold them, bucketed by the top bits of
  // their hash (a counting sort): the buckets follow the home slots' order,
  // and one bucket's slots span a few cache lines.
  constexpr unsigned kBucketBits = 11;
  constexpr size_t kBuckets = size_t{1} << kBucketBits;
  Narrows flat;
  flat.reserve(n);
  std::vector<uint32_t> wide_keys;
  std::vector<uint32_t> start(kBuckets + 1, 0);
  for (size_t k = first; k < keys.size(); ++k) {
    const SymbolLang& node = keys[k];
    const Id value = first_value + static_cast<Id>(k - first);
    if (node.arity() > 2) {
      wide_keys.push_back(static_cast<uint32_t>(k));
      continue;
    }
    flat.push_back(narrow_of(node, value));
    ++start[(narrow_hash(flat.back()) >> (64 - kBucketBits)) + 1];
  }
  for (size_t b = 1; b <= kBuckets; ++b) start[b] += start[b - 1];
  Narrows sorted(flat.size());
  for (const Narrow& s : flat) sorted[start[narrow_hash(s) >> (64 - kBucketBits)]++] = s;
  Narrows().swap(flat);

  grow(narrow_, sorted.size());
  const size_t mask = narrow_.size() - 1;
  for (const Narrow& s : sorted) {
    size_t i = home(narrow_hash(s), narrow_.size());
    for (;; i = (i + 1) & mask) {
      const Narrow& at = narrow_[i];
      if (at.value == kNone) break;
      if (at.op == s.op && at.a == s.a && at.b == s.b) return false;
    }
    narrow_[i] = s;
  }
  narrow_used_ = sorted.size();
  for (uint32_t k : wide_keys) {
    Probe probe = probe_wide(keys[k], keys);
    if (probe.found) return false;
    insert_slow(probe, k, first_value + static_cast<Id>(k - first));
  }
  return true;
}

}  // namespace nodalis::egraph
