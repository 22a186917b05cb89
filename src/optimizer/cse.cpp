// Common-subexpression elimination over an engine graph: one pass in
// position order, a node merging into the first earlier node with the same op
// and the same (already merged) children.
#include "optimizer/cse.h"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "base/table_seed.h"
#include "optimizer/flat_index.h"

namespace nodalis::opt {

namespace {

// Whether two nodes of `g` are equal (same op, same children). Until the
// first pair is found no node has merged, so a node's key is its own op and
// children: hashes need no remap, and the look-ahead that large graphs need
// is exact.
bool has_duplicates(const EngineGraph& g) {
  const size_t n = g.size();
  FlatIndex index(n);
  const uint64_t seed = table_seed();
  auto key_hash = [&](EnginePos i) {
    uint64_t h = hash_word(seed, g.op(i));
    auto kids = g.children(i);
    for (EnginePos c : kids) h = hash_word(h, c);
    return hash_finish(hash_word(h, kids.size()));
  };
  constexpr size_t kAhead = 8;
  const bool ahead = n >= kCseLookAheadFrom;
  uint64_t ahead_hash[kAhead] = {};
  for (size_t i = 0; i < n; ++i) {
    const auto at = static_cast<EnginePos>(i);
    const uint64_t h = ahead && i >= kAhead ? ahead_hash[i % kAhead] : key_hash(at);
    if (ahead && i + kAhead < n) {
      ahead_hash[i % kAhead] = key_hash(static_cast<EnginePos>(i + kAhead));
      index.prefetch(ahead_hash[i % kAhead]);
    }
    const TextId op = g.op(at);
    const std::span<const EnginePos> kids = g.children(at);
    const uint32_t found = index.find(h, [&](uint32_t p) {
      const std::span<const EnginePos> other = g.children(p);
      return g.op(p) == op && other.size() == kids.size() && std::equal(other.begin(), other.end(), kids.begin());
    });
    if (found != FlatIndex::kAbsent) return true;
    index.insert(at, h);
  }
  return false;
}

}  // namespace

EngineGraph cse(EngineGraph&& canonical) {
  // Engines seldom leave two nodes equal; then the graph is its own result,
  // and checking that costs less than copying it node by node. An engine
  // that knows it spares even the check.
  if (canonical.vouched_distinct() || !has_duplicates(canonical)) {
    canonical.vouch_distinct();  // for stage fusion, which relies on it
    return std::move(canonical);
  }
  return cse(std::as_const(canonical));
}

EngineGraph cse(const EngineGraph& canonical) {
  const size_t n = canonical.size();
  EngineGraph dedup(canonical.shared_texts());
  dedup.reserve(n, canonical.child_count(), canonical.outputs().size());
  ScratchRoom<EnginePos> remap;  // remap[i] is set at node i, before any later node reads it
  remap.resize(n);
  FlatIndex index(n);
  const uint64_t seed = table_seed();
  // The key of node i: its op and its children mapped through remap, which is
  // final for every child below `settled` (children come first). Above it
  // the key guesses that the child was not merged (remap[c] == c); engines
  // hand over graphs without duplicates, so the guess nearly always holds.
  auto key_hash = [&](EnginePos i, size_t settled) {
    uint64_t h = hash_word(seed, canonical.op(i));
    auto kids = canonical.children(i);
    for (EnginePos c : kids) h = hash_word(h, c < settled ? remap[c] : c);
    return hash_finish(hash_word(h, kids.size()));
  };
  // The look-ahead. The table outgrows the caches on large graphs, so each
  // step hashes the node kAhead places on, with the remap as it stands now
  // (settled up to i), and prefetches that slot: by the time the node's turn
  // comes its slot is in cache. Its turn checks the guess: a child at or past
  // the settled point that was merged away (remap[c] != c) makes the early
  // hash wrong, and the key is hashed again; otherwise the early hash is the
  // right one and is reused. The first kAhead nodes have no early hash.
  // A table that fits the caches has no misses to hide, so a smaller graph
  // hashes each node at its turn and skips the bookkeeping.
  constexpr size_t kAhead = 8;
  const bool ahead = n >= kCseLookAheadFrom;
  uint64_t ahead_hash[kAhead] = {};
  size_t ahead_settled[kAhead] = {};
  ScratchVector<EnginePos> kids;
  for (size_t i = 0; i < n; ++i) {
    // Node i and node i + kAhead share a ring entry: take this node's early
    // hash out before the entry is filled for the one ahead.
    const size_t settled = ahead_settled[i % kAhead];
    const uint64_t early = ahead_hash[i % kAhead];
    if (ahead && i + kAhead < n) {
      const auto next = static_cast<EnginePos>(i + kAhead);
      ahead_settled[next % kAhead] = i;
      ahead_hash[next % kAhead] = key_hash(next, i);
      index.prefetch(ahead_hash[next % kAhead]);
    }
    EngineNode node = canonical.node(static_cast<EnginePos>(i));
    kids.clear();
    bool guessed = ahead && i >= kAhead;
    for (EnginePos c : node.children) {  // c < i: checked when the graph was built
      kids.push_back(remap[c]);
      guessed = guessed && (c < settled || remap[c] == c);
    }
    const uint64_t h = guessed ? early : key_hash(static_cast<EnginePos>(i), i);
    uint32_t found = index.find(h, [&](uint32_t p) {
      if (dedup.op(p) != node.op) return false;
      std::span<const EnginePos> other = dedup.children(p);
      return other.size() == kids.size() && std::equal(other.begin(), other.end(), kids.begin());
    });
    if (found == FlatIndex::kAbsent) {
      found = dedup.add_node(node.op, kids, node.opaque);
      index.insert(found, h);
    }
    remap[i] = found;
  }
  for (EnginePos o : canonical.outputs()) dedup.add_output(remap[o]);
  dedup.vouch_distinct();
  return dedup;
}

}  // namespace nodalis::opt
