// The IR blob decoder. A blob is untrusted input: decoding either yields a
// store or stops at the first failing check with its DecodeError, never reads
// outside the bytes, and reserves nothing a forged count asks for.
#pragma once

#include <memory>
#include <string_view>

#include "base/result.h"
#include "blob/decode_error.h"
#include "ir/graph_store.h"

namespace nodalis::blob {

// A new store holding the blob's nodes (interned again in record order, so a
// canonical blob keeps its ids) with the blob's output ids marked in order.
Result<std::unique_ptr<ir::GraphStore>, DecodeError> deserialize(std::string_view blob);

// The same into `store`, which must be new and not yet visible to any other
// thread; on an error it holds a partial graph and must be discarded.
Result<Unit, DecodeError> deserialize_into(std::string_view blob, ir::GraphStore& store);

}  // namespace nodalis::blob
