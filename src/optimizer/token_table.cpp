// Token texts of live nodes, and the way back from an opaque text to its node.
#include "optimizer/token_table.h"

#include "ir/fault.h"

namespace nodalis::opt {

namespace {
// The record without its input list (u32 count + u64 ids): a stage keeps its
// inputs first, after the kind tag; every other kind keeps them last.
std::string_view content_bytes(const ir::NodeKey& key) {
  std::string_view rec = key.record();
  if (key.kind() == ir::NodeKind::Source) return rec;
  size_t list = 4 + 8 * static_cast<size_t>(key.inputs().size());
  if (key.kind() == ir::NodeKind::Stage) return rec.substr(1 + list);
  return rec.substr(0, rec.size() - list);
}
}  // namespace

bool same_apart_from_inputs(const ir::NodeKey& a, const ir::NodeKey& b) {
  if (a.kind() != b.kind()) return false;
  if (content_bytes(a) == content_bytes(b)) return true;
  // NaN payloads may differ in their bytes and still be equal.
  if (!a.has_nan() && !b.has_nan()) return false;
  std::vector<ir::NodeId> ins = b.inputs().to_vector();
  return a.with_inputs(ins) == b;
}

TokenTable::TokenTable(size_t expected_nodes)
    : texts_(std::make_shared<OpTexts>()), index_(expected_nodes / 4), seed_(table_seed()) {}

TextId TokenTable::enter(const ir::NodeKey& key) {
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
