// Record-by-record decoding in the format's check order. Records already in
// canonical form (every blob the encoder writes) are taken as they stand in
// the blob; others are rewritten first. A record that merges with an earlier
// equal one makes later references go through a record-index-to-id table, so
// every id in the blob keeps naming the node it named when it was written.
#include "blob/decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "blob/canonical_record.h"
#include "blob/encoder.h"
#include "blob/reader.h"
#include "ir/record_layout.h"

namespace nodalis::blob {

namespace {

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

// The blob's records for GraphStore::fill, a run at a time: canonical ones
// as they stand, a record to rewrite rewritten (it ends its run, so that its
// bytes last until the store has copied them). A failing check ends the
// records, and the error is kept for the decoder.
class BlobRuns final : public ir::RecordRuns {
 public:
  BlobRuns(Reader& reader, uint32_t node_count) : r_(reader), count_(node_count) {}

  size_t next(std::span<ir::RecordView> room) override {
    size_t n = 0;
    while (n < room.size() && i_ < count_) {
      if (!r_.plain_record(i_, room[n], shapes_)) {
        auto checked = r_.record(i_);
        if (!checked) {
          error_ = checked.error();
          count_ = i_;  // nothing after a failed check
          return 0;
        }
        room[n] = view_of(checked.value(), {}, rewritten_, entries_);
        if (!checked.value().canonical) {
          ++i_;
          return n + 1;
        }
      }
      ++i_;
      ++n;
    }
    return n;
  }
  const std::optional<DecodeError>& error() const noexcept { return error_; }

 private:
  Reader& r_;
  uint32_t count_;
  uint32_t i_ = 0;
  std::optional<DecodeError> error_;
  std::string rewritten_;
  std::vector<EntrySpan> entries_;
  RecordShapes shapes_;
};

// Interns the records one by one in record order, for a blob where some
// record merges with an earlier one: from the first merge on, references are
// renumbered through `ids` (record index -> store id, left empty while the
// two agree).
Result<Unit, DecodeError> intern_in_order(Reader& reader, uint32_t node_count, ir::GraphStore& store,
                                          std::vector<ir::NodeId>& ids) {
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
  // One run of canonical records, written in place by the checks.
  std::vector<ir::RecordView> views(std::min<size_t>(kRun, node_count));
  std::vector<ir::NodeId> run_ids(views.size());
  RecordShapes shapes;
  // Interns a checked record on its own: rewritten when it must be.
  auto intern_one = [&](uint64_t index, const CheckedRecord& record) -> Result<Unit, DecodeError> {
    auto id = store.intern_record(view_of(record, ids, rewritten, entries));
    if (!id) return Err{DecodeError::node_ref_out_of_range(id.error().id)};
    note(index, id.value());
    return Unit{};
  };
  for (uint64_t i = 0; i < node_count;) {
    // A run of canonical records, checked ahead and interned together; a
    // record to rewrite ends it and follows on its own.
    const uint64_t first = i;
    size_t count = 0;
    bool rewrite = false;
    CheckedRecord odd;
    while (count < views.size() && i < node_count) {
      if (!reader.plain_record(i, views[count], shapes)) {
        auto checked = reader.record(i);
        if (!checked) return Err{checked.error()};
        if (!checked.value().canonical) {
          odd = checked.value();
          rewrite = true;
          break;
        }
        views[count] = checked.value().view;
      }
      ++i;
      ++count;
    }
    // Once a record has merged, every later one is renumbered on its own.
    size_t done = 0;
    if (ids.empty() && count > 0) {
      auto taken = store.intern_records(std::span(views).first(count), std::span(run_ids).first(count));
      // Inputs were checked against the records before their own, all of
      // which are in the store, so interning cannot refuse them.
      if (!taken) return Err{DecodeError::node_ref_out_of_range(taken.error().id)};
      done = taken.value();
      for (size_t j = 0; j < done; ++j) note(first + j, run_ids[j]);
    }
    for (size_t j = done; j < count; ++j) {
      if (auto one = intern_one(first + j, CheckedRecord{views[j], true}); !one) return Err{one.error()};
    }
    if (rewrite) {
      if (auto one = intern_one(i, odd); !one) return Err{one.error()};
      ++i;
    }
  }
  return Unit{};
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

  // Records are nearly always distinct (an encoder never writes two equal
  // ones), so they are first taken all at once as nodes 0, 1, 2, ...; only
  // when two turn out equal are they interned again one by one, merging.
  Reader reader(blob);
  BlobRuns runs(reader, node_count);
  const bool distinct = store.fill(runs);
  if (runs.error()) return Err{*runs.error()};
  std::vector<ir::NodeId> ids;
  if (!distinct) {
    reader = Reader(blob);
    if (auto done = intern_in_order(reader, node_count, store, ids); !done) return Err{done.error()};
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
