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

  // One builder per kind but a stage (StageRecordWriter builds those), each
  // replacing what the record held. CapacityError for a string, list or map
  // past the record's 32-bit lengths and counts.
  void source(std::string_view name, ParamsToWrite params) {
    build<NodeKind::Source>({.name = name}, params);
  }
  void op(std::string_view name, ParamsToWrite params, std::span<const NodeId> inputs) {
    build<NodeKind::Op>({.name = name, .inputs = inputs}, params);
  }
  void reduction(std::string_view name, ParamsToWrite params, std::span<const NodeId> inputs) {
    build<NodeKind::Reduction>({.name = name, .inputs = inputs}, params);
  }
  void external(const PayloadDescriptorView& descriptor, ParamsToWrite params, std::span<const NodeId> inputs) {
    build<NodeKind::External>({.descriptor = &descriptor, .inputs = inputs}, params);
  }
  void exchange(ParamsToWrite params, std::span<const NodeId> inputs) {
    build<NodeKind::Exchange>({.inputs = inputs}, params);
  }

  // Valid until the next change.
  const RecordView& view() noexcept { return view_; }

 private:
  static constexpr uint64_t kMax32 = 0xFFFFFFFFull;
  [[noreturn]] static void too_large(const char* what);

  // Two walks over the fields in record order (the one layout walker): the
  // first sizes the record and refuses what the 32-bit fields cannot hold,
  // the second writes into room taken once, with no check per field. The
  // kind is a constant, so both walks fold into straight-line code.
  template <NodeKind Kind>
  [[gnu::always_inline]] void build(RecordFields fields, const ParamsToWrite& params) {
    fields.kind = Kind;
    Sizer sizer{fields, params};
    walk_fields(Kind, sizer);
    if (sizer.n > capacity_) grow(sizer.n);
    view_ = RecordView();
    Writer writer{*this, fields, params, data_};
    *writer.at++ = static_cast<char>(Kind);
    walk_fields(Kind, writer);
    view_.bytes = std::string_view(data_, sizer.n);
  }

  struct Sizer {
    const RecordFields& fields;
    const ParamsToWrite& params_to_write;
    uint64_t n = 1;  // the kind tag
    [[gnu::always_inline]] void count(uint64_t c, const char* what) {
      if (c > kMax32) too_large(what);
      n += 4;
    }
    [[gnu::always_inline]] bool text(RecordText t) {
      const size_t size = fields.text(t).size();
      count(size, "string lengths");
      n += size;
      return true;
    }
    [[gnu::always_inline]] bool presence(bool& present) {
      present = fields.descriptor->preprocessing_ref.has_value();
      n += 1;
      return true;
    }
    [[gnu::always_inline]] bool params() {
      n += params_to_write.encoded_ ? params_to_write.map_.encoded().size() : encoded_size(params_to_write.entries_);
      return true;
    }
    [[gnu::always_inline]] bool inputs() {
      count(fields.inputs.size(), "input counts");
      n += 8 * uint64_t{fields.inputs.size()};
      return true;
    }
    bool members() { return false; }  // no stage is built here
  };

  struct Writer {
    NodeRecord& record;
    const RecordFields& fields;
    const ParamsToWrite& params_to_write;
    char* at;
    [[gnu::always_inline]] bool text(RecordText t) {
      const std::string_view s = fields.text(t);
      at = le::put_u32(at, static_cast<uint32_t>(s.size()));
      at = le::put_bytes(at, s.data(), s.size());
      return true;
    }
    [[gnu::always_inline]] bool presence(bool& present) {
      present = fields.descriptor->preprocessing_ref.has_value();
      *at++ = present ? 1 : 0;
      return true;
    }
    [[gnu::always_inline]] bool params() {
      record.view_.params_off = static_cast<uint32_t>(at - record.data_);
      at = record.write_params(at, params_to_write);
      return true;
    }
    [[gnu::always_inline]] bool inputs() {
      record.view_.inputs_off = static_cast<uint32_t>(at - record.data_);
      at = le::put_u32(at, static_cast<uint32_t>(fields.inputs.size()));
      for (NodeId id : fields.inputs) at = le::put_u64(at, id);
      return true;
    }
    bool members() { return false; }  // no stage is built here
  };

  // Writes the map at `at` (sorting entries first) and notes its NaN flag.
  [[gnu::always_inline]] char* write_params(char* at, const ParamsToWrite& params) {
    if (params.encoded_) {
      const std::string_view e = params.map_.encoded();
      std::memcpy(at, e.data(), e.size());
      view_.has_nan = params.has_nan_;
      return at + e.size();
    }
    const std::span<ParamEntryRef> entries = params.entries_;
    if (entries.size() > 1) sort_entries(entries);
    bool nan = false;
    for (const ParamEntryRef& e : entries) {
      constexpr uint64_t kExponent = 0x7FF0000000000000ull;
      nan |= e.value.tag == ParamTag::Float && (e.value.bits & ~(uint64_t{1} << 63)) > kExponent;
    }
    view_.has_nan = nan;
    return encode_entries(entries, at);
  }
  void grow(uint64_t size);  // room for `size` bytes in all; the contents need not survive

  static constexpr size_t kInline = 256;
  char* data_;
  size_t capacity_ = kInline;
  // The offsets and NaN flag are noted here as the fields are written, so
  // that view() copies nothing (a copy of two 4-byte fields read back as one
  // 8-byte word would stall on store forwarding).
  RecordView view_;
  std::unique_ptr<char[]> heap_;
  char inline_[kInline];
};

}  // namespace nodalis::ir
