// NodeRecord: one node's record built by its kind's builder, with the layout
// facts a key keeps beside it. Interning looks the record up first and allocates a
// key only for a node that is new; the record itself lives on the caller's
// stack (inline up to a few hundred bytes), so building a graph costs no
// allocation per call beyond the new nodes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "base/le_bytes.h"
#include "ir/node_key.h"
#include "ir/param_map.h"
#include "ir/record_layout.h"

namespace nodalis::ir {

// The params of a record being built: entries, sorted (stably, by key
// bytes) and encoded in place, or a map already encoded, with its NaN flag
// (which whoever encoded the map knows already).
class ParamsToWrite {
 public:
  ParamsToWrite(std::span<ParamEntryRef> entries) noexcept : entries_(entries), encoded_(false) {}
  ParamsToWrite(ParamMapView map, bool has_nan) noexcept : map_(map), has_nan_(has_nan) {}

 private:
  friend class NodeRecord;
  std::span<ParamEntryRef> entries_;
  ParamMapView map_;
  bool has_nan_ = false;
  bool encoded_ = true;
};

class NodeRecord {
 public:
  NodeRecord() noexcept;
  NodeRecord(const NodeRecord&) = delete;
  NodeRecord& operator=(const NodeRecord&) = delete;

  // One builder per kind, each replacing what the record held. CapacityError
  // for a string, list or map past the record's 32-bit lengths and counts.
  void source(std::string_view name, ParamsToWrite params) {
    build({.kind = NodeKind::Source, .name = name}, params);
  }
  void op(std::string_view name, ParamsToWrite params, std::span<const NodeId> inputs) {
    build({.kind = NodeKind::Op, .name = name, .inputs = inputs}, params);
  }
  void reduction(std::string_view name, ParamsToWrite params, std::span<const NodeId> inputs) {
    build({.kind = NodeKind::Reduction, .name = name, .inputs = inputs}, params);
  }
  void external(const PayloadDescriptorView& descriptor, ParamsToWrite params, std::span<const NodeId> inputs) {
    build({.kind = NodeKind::External, .descriptor = &descriptor, .inputs = inputs}, params);
  }
  void exchange(ParamsToWrite params, std::span<const NodeId> inputs) {
    build({.kind = NodeKind::Exchange, .inputs = inputs}, params);
  }
  void stage(std::span<const NodeId> inputs, std::span<const StageOp> members) {
    build({.kind = NodeKind::Stage, .inputs = inputs, .members = members}, ParamsToWrite(ParamMapView(), false));
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

  // The fields in record order, through the one layout walker; the sink
  // methods below are what it calls.
  void build(const RecordFields& fields, const ParamsToWrite& params) {
    size_ = 0;
    view_ = RecordView();
    params_ = &params;
    RecordWriter<NodeRecord>{*this, fields}.write();
  }
  template <class Sink>
  friend struct RecordWriter;
  void u8(uint8_t v) { *extend(1) = static_cast<char>(v); }
  // u32 length + bytes.
  void str(std::string_view s) {
    if (s.size() > kMax32) too_large("string lengths");
    char* p = le::put_u32(extend(4 + s.size()), static_cast<uint32_t>(s.size()));
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
  }
  void params();
  // u32 count + u64 ids.
  void inputs(std::span<const NodeId> ids) {
    if (ids.size() > kMax32) too_large("input counts");
    char* p = extend(4 + 8 * ids.size());
    view_.inputs_off = static_cast<uint32_t>(p - data_);
    p = le::put_u32(p, static_cast<uint32_t>(ids.size()));
    for (NodeId id : ids) p = le::put_u64(p, id);
  }
  void members(std::span<const StageOp> members);
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
  const ParamsToWrite* params_ = nullptr;  // during build only
  std::unique_ptr<char[]> heap_;
  char inline_[kInline];
};

}  // namespace nodalis::ir
