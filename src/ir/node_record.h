// NodeRecord: one node's record encoded field by field into a reusable
// buffer, with the layout facts a key keeps beside it. Interning looks the
// record up first and allocates a key only for a node that is new, so
// building a graph costs no allocation per call beyond the new nodes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ir/node_key.h"
#include "ir/param_map.h"

namespace nodalis::ir {

class NodeRecord {
 public:
  // Clears the buffer and writes the kind tag. The fields then follow in the
  // kind's record order (see node_key.h); only maps and input lists are
  // noted, so the caller is trusted to write a well-formed record.
  void start(NodeKind kind);
  void u8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  // u32 length + bytes; CapacityError past 32 bits.
  void str(std::string_view s);
  // `has_nan` is map.has_nan(), which whoever encoded the map knows already.
  void params(ParamMapView map, bool has_nan);
  void params(ParamMapView map) { params(map, map.has_nan()); }
  // u32 count + u64 ids; CapacityError past 32 bits.
  void inputs(std::span<const NodeId> ids);

  // Valid until the next change. CapacityError for a record past 32 bits.
  RecordView view() const;

  // Frees a buffer that one huge record grew past `limit` bytes, so that a
  // thread does not keep it for its lifetime.
  void trim(size_t limit) noexcept;

 private:
  std::string bytes_;
  uint32_t params_off_ = detail::kNone;
  uint32_t inputs_off_ = detail::kNone;
  bool has_nan_ = false;
};

}  // namespace nodalis::ir
