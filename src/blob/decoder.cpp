// Record-by-record decoding in the format's check order. Records already in
// canonical form (every blob the encoder writes) are interned as they stand
// in the blob; others are rewritten first. A record that merges with an earlier equal one
// makes later references go through a record-index-to-id table, so every id in
// the blob keeps naming the node it named when it was written.
#include "blob/decoder.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "blob/canonical_record.h"
#include "blob/encoder.h"
#include "blob/reader.h"
#include "ir/record_layout.h"

namespace nodalis::blob {

namespace {

// Shorthand for "return the error of a failed read".
#define NODALIS_TRY(var, expr)                 \
  auto var = (expr);                           \
  if (!var) return Err{var.error()}

// One record that passed every check, as it stands in the blob, with the
// offsets and NaN flag found on the way (so the store need not walk it again).
struct CheckedRecord {
  ir::RecordView view;
  // Keys in order, bool and presence bytes 0/1: internable without rewriting.
  bool canonical = true;
};

class RecordDecoder {
 public:
  explicit RecordDecoder(Reader& reader) : r_(reader) {}

  // Checks record `index` (whose inputs may only name earlier records).
  Result<CheckedRecord, DecodeError> next(uint64_t index) {
    const size_t start = r_.position();
    auto tag = r_.u8();
    if (!tag) return Err{tag.error()};
    if (!ir::is_node_kind(tag.value())) return Err{DecodeError::invalid_tag(TagField::Node, tag.value())};
    Fields fields{*this, start, index};
    if (!ir::walk_fields(static_cast<ir::NodeKind>(tag.value()), fields)) return Err{fields.error};
    fields.rec.view.bytes = r_.since(start);
    return fields.rec;
  }

 private:
  // The record's fields in layout order, each checked as it is read; the
  // first failing check stops the walk with its error.
  struct Fields {
    RecordDecoder& d;
    size_t start;
    uint64_t index;
    CheckedRecord rec = {};
    DecodeError error = DecodeError::truncated();
    uint32_t input_count = 0;

    uint32_t offset() const { return static_cast<uint32_t>(d.r_.position() - start); }
    template <class T>
    bool check(const Result<T, DecodeError>& read) {
      if (!read) error = read.error();
      return read.ok();
    }
    bool text(ir::RecordText) { return check(d.r_.string()); }
    bool presence(bool& present) {
      auto byte = d.r_.u8();
      if (!check(byte)) return false;
      present = byte.value() != 0;
      if (present) rec.canonical = byte.value() == 1;
      return true;
    }
    bool params() {
      rec.view.params_off = offset();
      auto map = d.r_.map();
      if (!check(map)) return false;
      rec.canonical = rec.canonical && map.value().canonical;
      rec.view.has_nan = map.value().has_nan;
      return true;
    }
    bool inputs() {
      rec.view.inputs_off = offset();
      auto inputs = d.r_.inputs(index);
      if (!check(inputs)) return false;
      input_count = inputs.value().size();
      return true;
    }
    bool members() { return check(d.members(input_count)); }
  };

  // Member records of a stage with `input_count` inputs. A Member argument
  // must name an earlier member; an Input argument a position of the stage's
  // input list, so that no consumer of the stage can read outside it.
  Result<Unit, DecodeError> members(uint32_t input_count) {
    NODALIS_TRY(count, r_.u32());
    for (uint32_t m = 0; m < count.value(); ++m) {
      NODALIS_TRY(token, r_.string());
      NODALIS_TRY(arity, r_.u32());
      for (uint32_t a = 0; a < arity.value(); ++a) {
        if (r_.remaining() < ir::kStageRefSize) return Err{DecodeError::truncated()};
        uint8_t ref_tag = r_.u8().value();
        uint32_t ref_index = r_.u32().value();
        if (!ir::is_stage_ref_kind(ref_tag)) return Err{DecodeError::invalid_tag(TagField::StageRef, ref_tag)};
        const uint64_t limit = static_cast<ir::StageRefKind>(ref_tag) == ir::StageRefKind::Member ? m : input_count;
        if (ref_index >= limit) return Err{DecodeError::node_ref_out_of_range(ref_index)};
      }
    }
    return Unit{};
  }

  Reader& r_;
};

#undef NODALIS_TRY

// Records are checked and interned in runs of at most this many.
constexpr size_t kRun = 256;

// The record to intern: as it stands when canonical and no renumbering is
// due, else rewritten into `rewritten` first. Rewriting never moves a field,
// so the offsets hold for the rewritten form too.
ir::RecordView view_of(const CheckedRecord& record, std::span<const ir::NodeId> ids, std::string& rewritten,
                       std::vector<EntrySpan>& entries) {
  const bool renumber = !ids.empty() && record.view.inputs_off != ir::detail::kNone;
  if (record.canonical && !renumber) return record.view;
  canonicalize_record(rewritten, record.view.bytes, ids, entries);
  ir::RecordView view = record.view;
  view.bytes = rewritten;
  return view;
}

// The header's node count, once the magic and the count's bytes are there.
Result<uint32_t, DecodeError> node_count_of(std::string_view blob) {
  if (blob.size() < 4) return Err{DecodeError::truncated()};
  if (std::memcmp(blob.data(), kMagic, 4) != 0) return Err{DecodeError::bad_magic()};
  if (blob.size() < 8) return Err{DecodeError::truncated()};
  uint32_t node_count;
  std::memcpy(&node_count, blob.data() + 4, 4);
  return node_count;
}

}  // namespace

Result<Unit, DecodeError> deserialize_into(std::string_view blob, ir::GraphStore& store) {
  auto header = node_count_of(blob);
  if (!header) return Err{header.error()};
  const uint32_t node_count = header.value();

  // Room for all nodes at once, when that takes no more memory than the
  // blob's own bytes (a node costs the store about 30 bytes of list and
  // table): a forged count never reserves more than the blob could fill.
  if (node_count <= (blob.size() - 8) / 32) store.reserve(node_count);

  Reader reader(blob);
  RecordDecoder records(reader);
  // Record index -> store id, filled only once some record has merged with an
  // earlier one; until then the two are the same and the table stays empty.
  std::vector<ir::NodeId> ids;
  auto note = [&](uint64_t index, ir::NodeId id) {
    if (!ids.empty()) {
      ids.push_back(id);
    } else if (id != index) {
      // Record `index` merged with an earlier node: from here on, references
      // are renumbered through the table.
      ids.reserve(index + 1);
      for (uint64_t r = 0; r < index; ++r) ids.push_back(r);
      ids.push_back(id);
    }
  };
  std::string rewritten;
  std::vector<EntrySpan> entries;
  std::vector<CheckedRecord> run;
  std::vector<ir::RecordView> views;
  std::vector<ir::NodeId> run_ids;
  for (uint64_t i = 0; i < node_count;) {
    // A run of records checked ahead: the canonical ones at its head are
    // interned together, the rest (a record to rewrite, anything after a
    // merge) one at a time.
    const uint64_t first = i;
    run.clear();
    views.clear();
    while (run.size() < kRun && i < node_count) {
      auto record = records.next(i);
      if (!record) return Err{record.error()};
      ++i;
      run.push_back(record.value());
      if (!record.value().canonical || !ids.empty()) break;
      views.push_back(record.value().view);
    }
    size_t done = 0;
    if (!views.empty()) {
      run_ids.resize(views.size());
      auto taken = store.intern_records(views, run_ids);
      // Inputs were checked against the records before their own, all of
      // which are in the store, so interning cannot refuse them.
      if (!taken) return Err{DecodeError::node_ref_out_of_range(taken.error().id)};
      done = taken.value();
      for (size_t j = 0; j < done; ++j) note(first + j, run_ids[j]);
    }
    for (size_t j = done; j < run.size(); ++j) {
      auto id = store.intern_record(view_of(run[j], ids, rewritten, entries));
      if (!id) return Err{DecodeError::node_ref_out_of_range(id.error().id)};
      note(first + j, id.value());
    }
  }

  auto output_count = reader.u32();
  if (!output_count) return Err{output_count.error()};
  for (uint32_t k = 0; k < output_count.value(); ++k) {
    auto ref = reader.u64();
    if (!ref) return Err{ref.error()};
    // Output ids are record indices, like every other reference in the blob.
    if (ref.value() >= node_count) return Err{DecodeError::node_ref_out_of_range(ref.value())};
    auto marked = store.mark_output(ids.empty() ? ref.value() : ids[ref.value()]);
    if (!marked) return Err{DecodeError::node_ref_out_of_range(ref.value())};
  }
  // Bytes after the last output id are not part of the blob.
  return Unit{};
}

Result<std::unique_ptr<ir::GraphStore>, DecodeError> deserialize(std::string_view blob) {
  // A blob that is not one at all is refused before any store exists.
  if (auto header = node_count_of(blob); !header) return Err{header.error()};
  auto store = std::make_unique<ir::GraphStore>();
  auto done = deserialize_into(blob, *store);
  if (!done) return Err{done.error()};
  return Result<std::unique_ptr<ir::GraphStore>, DecodeError>(std::move(store));
}

}  // namespace nodalis::blob
