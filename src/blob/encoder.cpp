// One pass to size, one pass to copy: the blob is a concatenation of the keys'
// own record bytes between a fixed header and the output section.
#include "blob/encoder.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "base/fault.h"

namespace nodalis::blob {

namespace {

constexpr uint64_t kMaxCount = std::numeric_limits<uint32_t>::max();

inline char* put_u32(char* p, uint32_t v) noexcept {
  std::memcpy(p, &v, 4);
  return p + 4;
}

}  // namespace

void check_blob_counts(size_t node_count, size_t output_count) {
  // A truncated count would make a blob that decodes to another graph.
  if (node_count > kMaxCount) {
    throw CapacityError("a nodalis IR blob holds at most 4294967295 nodes, the store has " +
                        std::to_string(node_count));
  }
  if (output_count > kMaxCount) {
    throw CapacityError("a nodalis IR blob holds at most 4294967295 output ids, got " +
                        std::to_string(output_count));
  }
}

size_t blob_size(std::span<const ir::NodeKey> nodes, std::span<const ir::NodeId> outputs) {
  check_blob_counts(nodes.size(), outputs.size());
  size_t size = 4 + 4 + 4 + 8 * outputs.size();
  for (const ir::NodeKey& key : nodes) size += key.record().size();
  return size;
}

void write_blob(char* out, std::span<const ir::NodeKey> nodes, std::span<const ir::NodeId> outputs) noexcept {
  std::memcpy(out, kMagic, 4);
  char* p = put_u32(out + 4, static_cast<uint32_t>(nodes.size()));
  for (const ir::NodeKey& key : nodes) {
    std::string_view record = key.record();
    std::memcpy(p, record.data(), record.size());
    p += record.size();
  }
  p = put_u32(p, static_cast<uint32_t>(outputs.size()));
  // Ids are little-endian u64, which is also their layout in memory here.
  static_assert(std::endian::native == std::endian::little, "the blob writer assumes a little-endian host");
  if (!outputs.empty()) std::memcpy(p, outputs.data(), 8 * outputs.size());
}

std::string encode_nodes(std::span<const ir::NodeKey> nodes, std::span<const ir::NodeId> outputs) {
  std::string blob(blob_size(nodes, outputs), '\0');
  write_blob(blob.data(), nodes, outputs);
  return blob;
}

std::string serialize_with(const ir::GraphStore& store, std::span<const ir::NodeId> outputs) {
  std::vector<ir::NodeKey> nodes = store.nodes();
  return encode_nodes(nodes, outputs);
}

void put_params(std::string& buffer, ir::ParamMapView map) { buffer.append(map.encoded()); }

}  // namespace nodalis::blob
