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
std::string_view content_bytes(const ir::NodeKey& key) noexcept;

// Equal apart from the input lists (all kinds; floats by canonical bits).
bool same_apart_from_inputs(const ir::NodeKey& a, const ir::NodeKey& b);

inline bool same_inputs(ir::InputsView a, std::span<const ir::NodeId> b) noexcept {
  if (a.size() != b.size()) return false;
  for (uint32_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace nodalis::opt
