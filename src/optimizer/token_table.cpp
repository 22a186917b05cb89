// Token texts of live nodes, and the way back from an opaque text to its node.
#include "optimizer/token_table.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/fault.h"
#include "optimizer/key_content.h"

namespace nodalis::opt {

namespace {
// Distinct contents and texts a graph of `nodes` nodes is taken to have: most
// graphs stay within a few hundred, however large.
size_t likely_distinct(size_t nodes) {
  constexpr size_t kLikelyDistinct = 256;
  return std::min(nodes, kLikelyDistinct);
}

uint64_t word_at(const char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// Equal bytes, for the few dozen of a node's content: every live node is
// compared once, and a call to memcmp cost about as much as the compare.
// From 8 bytes on, whole words, the last one overlapping the one before.
bool same_bytes(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size();
  if (n != b.size()) return false;
  if (n < 8 || n > 64) return std::memcmp(a.data(), b.data(), n) == 0;
  for (size_t i = 0; i + 8 < n; i += 8)
    if (word_at(a.data() + i) != word_at(b.data() + i)) return false;
  return word_at(a.data() + n - 8) == word_at(b.data() + n - 8);
}
}  // namespace

// The tables take their room at once: made small and reserved later, each
// would be laid out twice.
TokenTable::TokenTable(size_t expected_nodes)
    : texts_(std::make_shared<OpTexts>()),
      index_(likely_distinct(expected_nodes)),
      content_index_(likely_distinct(expected_nodes)),
      seed_(table_seed()) {
  // A graph has few distinct texts; starting with room for a few spares a
  // small reduction most of its regrowths.
  constexpr size_t kFirstTexts = 16;
  texts_->reserve(kFirstTexts, 32 * kFirstTexts);
  keys_.reserve(kFirstTexts);
  contents_.reserve(kFirstTexts);
  content_texts_.reserve(kFirstTexts);
  content_kinds_.reserve(kFirstTexts);
}

void TokenTable::reserve(size_t nodes) {
  index_.reserve(likely_distinct(nodes));
  content_index_.reserve(likely_distinct(nodes));
}

TextId TokenTable::enter(const ir::NodeKey& key) {
  const std::string_view content = content_bytes(key);
  const ir::NodeKind kind = key.kind();
  // Every live node is hashed here, most to find a content already entered:
  // the kind goes in with the seed rather than as a word of its own, and the
  // byte hash's last multiply mixes enough for the table without a finish.
  const uint64_t h = hash_bytes(seed_ ^ static_cast<uint64_t>(kind), content.data(), content.size());
  uint32_t found = content_index_.find(h, [&](uint32_t p) {
    return content_kinds_[p] == kind && same_bytes(contents_[p], content);
  });
  if (found != FlatIndex::kAbsent) return content_texts_[found];
  const TextId id = enter_token(key);
  contents_.push_back(content);
  content_texts_.push_back(id);
  content_kinds_.push_back(kind);
  content_index_.insert(static_cast<uint32_t>(contents_.size() - 1), h);
  return id;
}

TextId TokenTable::enter_token(const ir::NodeKey& key) {
  scratch_.clear();
  key.write_token(scratch_);
  const std::string_view token = scratch_.view();
  const uint64_t h = hash_text(seed_, token);
  const bool opaque = key.kind() != ir::NodeKind::Op;
  uint32_t found = index_.find(h, [&](uint32_t id) {
    // Op tokens are injective on name and params: equal text, equal op.
    return texts_->text(id) == token && (!opaque || same_apart_from_inputs(*keys_[id], key));
  });
  if (found != FlatIndex::kAbsent) return found;
  TextId id = texts_->append(token);
  keys_.push_back(&key);
  index_.insert(id, h);
  return id;
}

const ir::NodeKey& TokenTable::key_of(TextId id) const {
  if (id >= keys_.size()) throw InternalFault("opaque engine node has a token of no live node");
  return *keys_[id];
}

}  // namespace nodalis::opt
