// The IR blob encoder: "NIR1", the node count, each node's record in id order,
// then the output ids. A NodeKey's bytes already are its record, so encoding
// is sizing the blob once and copying records into it.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "ir/graph_store.h"
#include "ir/node_key.h"
#include "ir/param_map.h"

namespace nodalis::blob {

inline constexpr char kMagic[4] = {'N', 'I', 'R', '1'};

// CapacityError unless both counts fit the format's 32 bits.
void check_blob_counts(size_t node_count, size_t output_count);

// Exact size of the blob of `nodes` with the output section `outputs`.
// CapacityError when either count does not fit the format's 32 bits; nothing
// else can overflow, since every key's own lengths are 32-bit by construction.
size_t blob_size(std::span<const ir::NodeKey> nodes, std::span<const ir::NodeId> outputs);

// Writes exactly blob_size(nodes, outputs) bytes at `out` (which the caller
// sized, e.g. a Python bytes object, so the blob is never copied again).
void write_blob(char* out, std::span<const ir::NodeKey> nodes, std::span<const ir::NodeId> outputs) noexcept;

// The blob of these nodes with this output section.
std::string encode_nodes(std::span<const ir::NodeKey> nodes, std::span<const ir::NodeId> outputs);

// The blob of a snapshot of `store` with `outputs` as the output section,
// exactly as given (order and repeats kept); the store's marks are not read.
// The ids are not checked: that is the caller's job.
std::string serialize_with(const ir::GraphStore& store, std::span<const ir::NodeId> outputs);

// Appends the blob encoding of one map.
void put_params(std::string& buffer, ir::ParamMapView map);

}  // namespace nodalis::blob
