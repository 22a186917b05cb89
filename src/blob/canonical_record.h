// Rewriting of checked but non-canonical blob pieces into the form a NodeKey
// holds: map entries in key order, bool and presence bytes 0/1, and input ids
// renumbered when earlier records merged. Canonical blobs never come here.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ir/node_key.h"

namespace nodalis::blob {

// One entry of an encoded map, located by its bytes; the sort key is `key`.
struct EntrySpan {
  std::string_view key;
  std::string_view bytes;  // the whole entry: key length, key, tag, payload
};

// Appends the canonical encoding of `checked`, a map the Reader accepted:
// entries stably sorted by key bytes, bool bytes made 0/1. `scratch` is
// reused between calls to spare an allocation per map.
void canonicalize_params(std::string& out, std::string_view checked, std::vector<EntrySpan>& scratch);

// Replaces `out` with the canonical form of `checked`, one node record the
// decoder accepted, and maps every input id through `ids` (record index to
// store id; an id at or past its end is kept as it is).
void canonicalize_record(std::string& out, std::string_view checked, std::span<const ir::NodeId> ids,
                         std::vector<EntrySpan>& scratch);

}  // namespace nodalis::blob
