// Record-by-record decoding in the format's check order. Records already in
// canonical form (every blob the encoder writes) are adopted as they stand;
// others are rewritten first. A record that merges with an earlier equal one
// makes later references go through a record-index-to-id table, so every id in
// the blob keeps naming the node it named when it was written.
#include "blob/decoder.h"

#include <algorithm>
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

// One record that passed every check, as it stands in the blob.
struct CheckedRecord {
  std::string_view bytes;
  // Keys in order, bool and presence bytes 0/1: adoptable without rewriting.
  bool canonical = true;
  // Rewriting never moves a field, so this holds for the rewritten form too.
  ir::RecordLayout layout;
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
        rec.layout.params_off = offset();
        NODALIS_TRY(map, r_.map());
        rec.canonical = map.value().canonical;
        rec.layout.has_nan = map.value().has_nan;
        if (tag.value() != 0) {
          rec.layout.inputs_off = offset();
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
        rec.layout.params_off = offset();
        NODALIS_TRY(map, r_.map());
        rec.canonical = rec.canonical && map.value().canonical;
        rec.layout.has_nan = map.value().has_nan;
        rec.layout.inputs_off = offset();
        NODALIS_TRY(inputs, r_.inputs(index));
        break;
      }
      case 4: {  // Stage
        rec.layout.inputs_off = offset();
        NODALIS_TRY(inputs, r_.inputs(index));
        auto checked = members(inputs.value().size());
        if (!checked) return Err{checked.error()};
        break;
      }
      case 5: {  // Exchange
        rec.layout.params_off = offset();
        NODALIS_TRY(map, r_.map());
        rec.canonical = map.value().canonical;
        rec.layout.has_nan = map.value().has_nan;
        rec.layout.inputs_off = offset();
        NODALIS_TRY(inputs, r_.inputs(index));
        break;
      }
      default:
        return Err{DecodeError::invalid_tag(TagField::Node, tag.value())};
    }
    rec.bytes = r_.since(start);
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

// Records are interned in runs of this many: one store lock per run, and
// the interning table's lookups overlap within it.
constexpr size_t kRun = 256;

// The key of a checked record: adopted as it stands when canonical and no
// renumbering is due, else rewritten first.
ir::NodeKey key_of(const CheckedRecord& record, std::span<const ir::NodeId> ids, std::string& rewritten,
                   std::vector<EntrySpan>& entries) {
  const bool renumber = !ids.empty() && record.layout.inputs_off != ir::detail::kNone;
  if (record.canonical && !renumber) return ir::NodeKey::from_trusted_record(record.bytes, record.layout);
  canonicalize_record(rewritten, record.bytes, ids, entries);
  return ir::NodeKey::from_trusted_record(rewritten, record.layout);
}

}  // namespace

Result<Unit, DecodeError> deserialize_into(std::string_view blob, ir::GraphStore& store) {
  if (blob.size() < 4) return Err{DecodeError::truncated()};
  if (std::memcmp(blob.data(), kMagic, 4) != 0) return Err{DecodeError::bad_magic()};
  if (blob.size() < 8) return Err{DecodeError::truncated()};
  uint32_t node_count;
  std::memcpy(&node_count, blob.data() + 4, 4);

  // Room for all nodes at once, when that takes no more memory than the
  // blob's own bytes (a node costs the store about 30 bytes of list and
  // table): a forged count never reserves more than the blob could fill.
  if (node_count <= (blob.size() - 8) / 32) store.reserve(node_count);

  Reader reader(blob);
  RecordDecoder records(reader);
  // Record index -> store id, filled only once some record has merged with an
  // earlier one; until then the two are the same and the table stays empty.
  std::vector<ir::NodeId> ids;
  std::string rewritten;
  std::vector<EntrySpan> entries;
  uint64_t i = 0;

  // While no record has merged, every record becomes the next node: records
  // are checked and interned in runs.
  std::vector<ir::NodeKey> run;
  std::vector<CheckedRecord> run_records;
  std::vector<ir::NodeId> run_ids;
  while (i < node_count && ids.empty()) {
    const uint64_t first = i;
    run.clear();
    run_records.clear();
    while (run.size() < kRun && i < node_count) {
      auto record = records.next(i);
      if (!record) return Err{record.error()};
      run.push_back(key_of(record.value(), ids, rewritten, entries));
      run_records.push_back(record.value());
      ++i;
    }
    run_ids.resize(run.size());
    auto taken = store.intern_until_merge(run, run_ids);
    // Inputs were checked against the records before their own, all of which
    // are in the store, so interning cannot refuse them; kept as a safeguard.
    if (!taken) return Err{DecodeError::node_ref_out_of_range(taken.error().id)};
    const size_t k = taken.value();
    if (run_ids[k - 1] == first + k - 1) continue;  // the whole run was new
    // Record first + k - 1 merged: from here on references are renumbered,
    // the rest of this run included (its keys were built before the merge).
    ids.reserve(first + run.size());
    for (uint64_t r = 0; r < first + k - 1; ++r) ids.push_back(r);
    ids.push_back(run_ids[k - 1]);
    for (size_t j = k; j < run.size(); ++j) {
      auto id = store.intern(key_of(run_records[j], ids, rewritten, entries));
      if (!id) return Err{DecodeError::node_ref_out_of_range(id.error().id)};
      ids.push_back(id.value());
    }
  }

  // After a merge: one record at a time, each renumbered.
  for (; i < node_count; ++i) {
    auto record = records.next(i);
    if (!record) return Err{record.error()};
    auto id = store.intern(key_of(record.value(), ids, rewritten, entries));
    if (!id) return Err{DecodeError::node_ref_out_of_range(id.error().id)};
    ids.push_back(id.value());
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
  auto store = std::make_unique<ir::GraphStore>();
  auto done = deserialize_into(blob, *store);
  if (!done) return Err{done.error()};
  return Result<std::unique_ptr<ir::GraphStore>, DecodeError>(std::move(store));
}

}  // namespace nodalis::blob
