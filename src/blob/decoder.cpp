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
    CheckedRecord rec;
    auto offset = [&] { return static_cast<uint32_t>(r_.position() - start); };
    NODALIS_TRY(tag, r_.u8());
    switch (tag.value()) {
      case 0:    // Source
      case 1:    // Op
      case 2: {  // Reduction
        NODALIS_TRY(name, r_.string());
        rec.view.params_off = offset();
        NODALIS_TRY(map, r_.map());
        rec.canonical = map.value().canonical;
        rec.view.has_nan = map.value().has_nan;
        if (tag.value() != 0) {
          rec.view.inputs_off = offset();
          NODALIS_TRY(inputs, r_.inputs(index));
        }
        break;
      }
      case 3: {  // External
        for (int field = 0; field < 5; ++field) {
          NODALIS_TRY(text, r_.string());
        }
        NODALIS_TRY(presence, r_.u8());
        if (presence.value() != 0) {
          rec.canonical = presence.value() == 1;
          NODALIS_TRY(preprocessing_ref, r_.string());
        }
        rec.view.params_off = offset();
        NODALIS_TRY(map, r_.map());
        rec.canonical = rec.canonical && map.value().canonical;
        rec.view.has_nan = map.value().has_nan;
        rec.view.inputs_off = offset();
        NODALIS_TRY(inputs, r_.inputs(index));
        break;
      }
      case 4: {  // Stage
        rec.view.inputs_off = offset();
        NODALIS_TRY(inputs, r_.inputs(index));
        auto checked = members(inputs.value().size());
        if (!checked) return Err{checked.error()};
        break;
      }
      case 5: {  // Exchange
        rec.view.params_off = offset();
        NODALIS_TRY(map, r_.map());
        rec.canonical = map.value().canonical;
        rec.view.has_nan = map.value().has_nan;
        rec.view.inputs_off = offset();
        NODALIS_TRY(inputs, r_.inputs(index));
        break;
      }
      default:
        return Err{DecodeError::invalid_tag(TagField::Node, tag.value())};
    }
    rec.view.bytes = r_.since(start);
    return rec;
  }

 private:
  // Member records of a stage with `input_count` inputs. A Member argument
  // must name an earlier member; an Input argument a position of the stage's
  // input list, so that no consumer of the stage can read outside it.
  Result<Unit, DecodeError> members(uint32_t input_count) {
    NODALIS_TRY(count, r_.u32());
    for (uint32_t m = 0; m < count.value(); ++m) {
      NODALIS_TRY(token, r_.string());
      NODALIS_TRY(arity, r_.u32());
      for (uint32_t a = 0; a < arity.value(); ++a) {
        if (r_.remaining() < 5) return Err{DecodeError::truncated()};
        uint8_t ref_tag = r_.u8().value();
        uint32_t ref_index = r_.u32().value();
        if (ref_tag == 1) {
          if (ref_index >= m) return Err{DecodeError::node_ref_out_of_range(ref_index)};
        } else if (ref_tag == 0) {
          if (ref_index >= input_count) return Err{DecodeError::node_ref_out_of_range(ref_index)};
        } else {
          return Err{DecodeError::invalid_tag(TagField::StageRef, ref_tag)};
        }
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
