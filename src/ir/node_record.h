// NodeRecord: one node's record encoded field by field, with the layout facts
// a key keeps beside it. Interning looks the record up first and allocates a
// key only for a node that is new; the record itself lives on the caller's
// stack (inline up to a few hundred bytes), so building a graph costs no
// allocation per call beyond the new nodes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "ir/le_bytes.h"
#include "ir/node_key.h"
#include "ir/param_map.h"

namespace nodalis::ir {

class NodeRecord {
 public:
  explicit NodeRecord(NodeKind kind) noexcept;  // the kind tag written
  NodeRecord(const NodeRecord&) = delete;
  NodeRecord& operator=(const NodeRecord&) = delete;

  // The fields follow in the kind's record order (see node_key.h); only maps
  // and input lists are noted, so the caller is trusted to write a
  // well-formed record.
  void u8(uint8_t v) { *extend(1) = static_cast<char>(v); }
  // u32 length + bytes; CapacityError past 32 bits.
  void str(std::string_view s) {
    if (s.size() > kMax32) too_large("string lengths");
    char* p = le::put_u32(extend(4 + s.size()), static_cast<uint32_t>(s.size()));
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
  }
  // An encoded map; `has_nan` is map.has_nan(), which whoever encoded the
  // map knows already.
  void params(ParamMapView map, bool has_nan);
  // A map from entries, sorted here (stably, by key bytes) and encoded in
  // place; CapacityError past 32 bits.
  void params(std::span<ParamEntryRef> entries);
  // u32 count + u64 ids; CapacityError past 32 bits.
  void inputs(std::span<const NodeId> ids) {
    if (ids.size() > kMax32) too_large("input counts");
    char* p = extend(4 + 8 * ids.size());
    view_.inputs_off = static_cast<uint32_t>(p - data_);
    p = le::put_u32(p, static_cast<uint32_t>(ids.size()));
    for (NodeId id : ids) p = le::put_u64(p, id);
  }

  // Valid until the next change. CapacityError for a record past 32 bits.
  const RecordView& view() {
    if (size_ > kMax32) too_large("records");
    view_.bytes = std::string_view(data_, size_);
    return view_;
  }

 private:
  static constexpr uint64_t kMax32 = 0xFFFFFFFFull;
  [[noreturn]] static void too_large(const char* what);
  // Room for n more bytes, at the returned pointer.
  char* extend(size_t n) {
    if (capacity_ - size_ < n) grow(n);
    char* at = data_ + size_;
    size_ += n;
    return at;
  }
  void grow(size_t n);

  static constexpr size_t kInline = 256;
  char* data_;
  size_t size_ = 0;
  size_t capacity_ = kInline;
  // The offsets and NaN flag are noted here as the fields are written, so
  // that view() copies nothing (a copy of two 4-byte fields read back as one
  // 8-byte word would stall on store forwarding).
  RecordView view_;
  std::unique_ptr<char[]> heap_;
  char inline_[kInline];
};

}  // namespace nodalis::ir
