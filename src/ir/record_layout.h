// The node record layout, stated once: which fields follow the kind tag, in
// what order, and how a parameter payload and a stage reference are sized.
// Builders (NodeKey's factories, NodeRecord), readers (a key's accessors) and
// the blob decoder and canonicalizer all walk records through walk_fields; a
// stage's record is written by StageRecordWriter alone (stage_record.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ir/node_key.h"
#include "ir/param_value.h"

namespace nodalis::ir {

// Tags past the last kind are no node kind.
inline constexpr uint8_t kNodeKindCount = 6;
inline constexpr bool is_node_kind(uint8_t tag) noexcept { return tag < kNodeKindCount; }

// The texts a record can hold, each a u32 length + bytes: a source's, op's or
// reduction's name, and an external node's descriptor fields.
enum class RecordText : uint8_t {
  Name,
  DescriptorKind,
  ContentHash,
  Framework,
  Version,
  IoSchema,
  PreprocessingRef,  // present only when the presence byte before it is set
};

// Bytes of a parameter value after its tag: 8 for Int and Float bits, 1 for
// Bool; a Str is a u32 length + bytes (returns 0 here).
inline constexpr size_t fixed_payload_size(ParamTag tag) noexcept {
  return tag == ParamTag::Bool ? 1 : tag == ParamTag::Str ? 0 : 8;
}
inline constexpr bool is_param_tag(uint8_t tag) noexcept { return tag <= static_cast<uint8_t>(ParamTag::Str); }

// A stage member is its token (u32 length + bytes), a u32 arity and that many
// references of u8 StageRefKind + u32 index.
inline constexpr size_t kStageRefSize = 5;
inline constexpr bool is_stage_ref_kind(uint8_t tag) noexcept {
  return tag <= static_cast<uint8_t>(StageRefKind::Member);
}

// Calls the visitor's field methods in record order for a record of `kind`,
// after its tag byte:
//   text(RecordText)  a text field
//   presence(bool&)   the preprocessing_ref presence byte; sets whether the
//                     text follows
//   params()          the encoded map (param_map.h)
//   inputs()          u32 count + u64 ids
//   members()         a stage's u32 member count and members
// Each returns false to stop the walk, and walk_fields then returns false.
// `kind` must be a node kind.
template <class Fields>
inline bool walk_fields(NodeKind kind, Fields& f) {
  switch (kind) {
    case NodeKind::Source:
      return f.text(RecordText::Name) && f.params();
    case NodeKind::Op:
    case NodeKind::Reduction:
      return f.text(RecordText::Name) && f.params() && f.inputs();
    case NodeKind::External: {
      if (!(f.text(RecordText::DescriptorKind) && f.text(RecordText::ContentHash) &&
            f.text(RecordText::Framework) && f.text(RecordText::Version) && f.text(RecordText::IoSchema)))
        return false;
      bool present = false;
      if (!f.presence(present)) return false;
      if (present && !f.text(RecordText::PreprocessingRef)) return false;
      return f.params() && f.inputs();
    }
    case NodeKind::Stage:
      return f.inputs() && f.members();
    case NodeKind::Exchange:
      return f.params() && f.inputs();
  }
  return false;
}

// The field values of one record, for the builders of every kind but a stage
// (stage_record.h writes those): what a kind does not hold is left empty.
struct RecordFields {
  NodeKind kind = NodeKind::Source;
  std::string_view name = {};
  const PayloadDescriptorView* descriptor = nullptr;  // External only
  std::span<const NodeId> inputs = {};

  std::string_view text(RecordText t) const noexcept {
    switch (t) {
      case RecordText::Name: return name;
      case RecordText::DescriptorKind: return descriptor->kind;
      case RecordText::ContentHash: return descriptor->content_hash;
      case RecordText::Framework: return descriptor->framework;
      case RecordText::Version: return descriptor->version;
      case RecordText::IoSchema: return descriptor->io_schema;
      case RecordText::PreprocessingRef: return *descriptor->preprocessing_ref;
    }
    return {};
  }
};

// Writes `fields` as a record into `sink`, which provides u8, str, params
// (the record's map, which the sink holds) and inputs. A stage's members stop
// the walk: no sink writes them.
template <class Sink>
struct RecordWriter {
  Sink& sink;
  const RecordFields& fields;

  void write() {
    sink.u8(static_cast<uint8_t>(fields.kind));
    walk_fields(fields.kind, *this);
  }
  bool text(RecordText t) { sink.str(fields.text(t)); return true; }
  bool presence(bool& present) {
    present = fields.descriptor->preprocessing_ref.has_value();
    sink.u8(present ? 1 : 0);
    return true;
  }
  bool params() { sink.params(); return true; }
  bool inputs() { sink.inputs(fields.inputs); return true; }
  bool members() { return false; }
};

template <class Sink>
inline void write_record(Sink& sink, const RecordFields& fields) {
  RecordWriter<Sink>{sink, fields}.write();
}

}  // namespace nodalis::ir
