// A node key apart from its input list: the optimizer compares and hashes
// nodes as (content, inputs) when the inputs it cares about are not the ones
// the key holds (renumbered, translated), so that it need not build a key.
#pragma once

#include <span>
#include <string_view>

#include "ir/node_key.h"

namespace nodalis::opt {

// The key's record without its input list (u32 count + u64 ids): a stage
// keeps its inputs first, after the kind tag, every other kind last. Two keys
// without NaN parameters are equal apart from inputs exactly when these bytes
// and their kinds are.
inline std::string_view content_bytes(const ir::NodeKey& key) noexcept {
  const ir::RecordView view = key.view();
  if (view.inputs_off == ir::detail::kNone) return view.bytes;
  const size_t list_end = view.inputs_off + 4 + 8 * static_cast<size_t>(view.inputs().size());
  // The list ends the record, or (a stage's) the members follow it.
  if (list_end == view.bytes.size()) return view.bytes.substr(0, view.inputs_off);
  return view.bytes.substr(list_end);
}

// Equal apart from the input lists (all kinds; floats by canonical bits).
bool same_apart_from_inputs(const ir::NodeKey& a, const ir::NodeKey& b);

inline bool same_inputs(ir::InputsView a, std::span<const ir::NodeId> b) noexcept {
  if (a.size() != b.size()) return false;
  for (uint32_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace nodalis::opt
