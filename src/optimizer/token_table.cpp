// Token texts of live nodes, and the way back from an opaque text to its node.
#include "optimizer/token_table.h"

#include <algorithm>

#include "base/fault.h"
#include "optimizer/key_content.h"

namespace nodalis::opt {

TokenTable::TokenTable(size_t expected_nodes)
    : texts_(std::make_shared<OpTexts>()), index_(expected_nodes / 4), seed_(table_seed()) {
  // A graph has few distinct texts; starting with room for a few spares a
  // small reduction most of its regrowths.
  constexpr size_t kFirstTexts = 16;
  texts_->reserve(kFirstTexts, 32 * kFirstTexts);
  keys_.reserve(kFirstTexts);
  content_keys_.reserve(kFirstTexts);
  contents_.reserve(kFirstTexts);
  content_texts_.reserve(kFirstTexts);
}

void TokenTable::reserve(size_t nodes) {
  constexpr size_t kLikelyDistinct = 256;
  const size_t likely = std::min(nodes, kLikelyDistinct);
  index_.reserve(likely);
  content_index_.reserve(likely);
}

TextId TokenTable::enter(const ir::NodeKey& key) {
  const std::string_view content = content_bytes(key);
  const uint64_t h = hash_text(hash_word(seed_, static_cast<uint64_t>(key.kind())), content);
  uint32_t found = content_index_.find(h, [&](uint32_t p) {
    return contents_[p] == content && content_keys_[p].kind() == key.kind();
  });
  if (found != FlatIndex::kAbsent) return content_texts_[found];
  const TextId id = enter_token(key);
  content_keys_.push_back(key);
  contents_.push_back(content);
  content_texts_.push_back(id);
  content_index_.insert(static_cast<uint32_t>(content_keys_.size() - 1), h);
  return id;
}

TextId TokenTable::enter_token(const ir::NodeKey& key) {
  scratch_.clear();
  key.append_token(scratch_);
  const uint64_t h = hash_text(seed_, scratch_);
  const bool opaque = key.kind() != ir::NodeKind::Op;
  uint32_t found = index_.find(h, [&](uint32_t id) {
    // Op tokens are injective on name and params: equal text, equal op.
    return texts_->text(id) == scratch_ && (!opaque || same_apart_from_inputs(keys_[id], key));
  });
  if (found != FlatIndex::kAbsent) return found;
  TextId id = texts_->append(scratch_);
  keys_.push_back(key);
  index_.insert(id, h);
  return id;
}

const ir::NodeKey& TokenTable::key_of(TextId id) const {
  if (id >= keys_.size()) throw InternalFault("opaque engine node has a token of no live node");
  return keys_[id];
}

}  // namespace nodalis::opt
