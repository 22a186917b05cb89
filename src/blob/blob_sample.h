// Test stores for the blob tests: hex conversion for readable expectations,
// one store that holds every node kind and every kind of parameter value, and
// the agreement of the reader's two record checks.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "blob/reader.h"
#include "ir/graph_store.h"
#include "ir/node_key.h"
#include "ir/param_map.h"

namespace nodalis::blob {

// "4E 49 52 31" -> "NIR1"; spaces and commas are ignored.
inline std::string from_hex(std::string_view text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

inline std::string to_hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline double from_bits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

inline ir::NodeId must(Result<ir::NodeId, ir::BadNodeId> r) {
  if (!r) throw std::logic_error("sample store: " + r.error().debug());
  return r.value();
}

// True when `decoded` is the key the IR itself builds from the same record:
// the decoder hands the IR the record's offsets and NaN flag, which must be
// what the IR would have found by walking the record.
inline bool same_as_adopted(const ir::NodeKey& decoded) {
  ir::NodeKey adopted = ir::NodeKey::from_trusted_record(decoded.record());
  return decoded.params().encoded() == adopted.params().encoded() &&
         decoded.inputs().to_vector() == adopted.inputs().to_vector() &&
         decoded.has_nan() == adopted.has_nan() && decoded.name() == adopted.name() &&
         decoded == adopted && decoded.hash(7) == adopted.hash(7) && decoded.token() == adopted.token();
}

// A store with every node kind, every value tag, -0.0, NaNs with payloads,
// empty and non-ASCII texts, repeated inputs, and two marks in a non-sorted
// order.
inline std::unique_ptr<ir::GraphStore> sample_store() {
  using ir::NodeKey;
  using ir::ParamMap;
  using ir::ParamValue;
  auto store = std::make_unique<ir::GraphStore>();
  ParamMap rich = ParamMap::make({
      {"int_min", ParamValue::Int(INT64_MIN)},
      {"int_max", ParamValue::Int(INT64_MAX)},
      {"neg_zero", ParamValue::Float(-0.0)},
      {"nan_payload", ParamValue::Float(from_bits(0x7FF0000000000123ull))},
      {"neg_nan", ParamValue::Float(from_bits(0xFFF8000000000001ull))},
      {"flag", ParamValue::Bool(true)},
      {"off", ParamValue::Bool(false)},
      {"", ParamValue::Str("")},
      {"text", ParamValue::Str("h\xC3\xA9 \"q\" \\ ;|=%\n")},
  });
  ir::NodeId x = must(store->intern(NodeKey::source("x", rich.view())));
  ir::NodeId y = must(store->intern(NodeKey::source("", ParamMap().view())));
  ir::NodeId inputs_xx[] = {x, x};
  ParamMap side = ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
  ir::NodeId add = must(store->intern(NodeKey::op("add", side.view(), inputs_xx)));
  ir::NodeId inputs_add_y[] = {add, y};
  ir::NodeId mul = must(store->intern(NodeKey::op("mul", ParamMap().view(), inputs_add_y)));
  ParamMap axis = ParamMap::make({{"axis", ParamValue::Int(0)}});
  ir::NodeId inputs_mul[] = {mul};
  must(store->intern(NodeKey::reduction("sum", axis.view(), inputs_mul)));
  ir::PayloadDescriptor absent{"model", "sha256:ab", "torch", "2.1", "f32[3]->f32[1]", std::nullopt};
  ir::PayloadDescriptor empty_ref = absent;
  empty_ref.preprocessing_ref = "";
  ir::PayloadDescriptor dash_ref = absent;
  dash_ref.preprocessing_ref = "-";
  ir::NodeId inputs_x[] = {x};
  must(store->intern(NodeKey::external(ir::view_of(absent), ParamMap().view(), inputs_x)));
  must(store->intern(NodeKey::external(ir::view_of(empty_ref), axis.view(), inputs_x)));
  ir::NodeId ext = must(store->intern(NodeKey::external(ir::view_of(dash_ref), ParamMap().view(), {})));
  std::vector<ir::StageOp> members = {
      {"op|neg", {ir::StageRef::input(0)}},
      {"op|mul|scalar=f3ff0000000000000;side=sr", {ir::StageRef::member(0), ir::StageRef::input(1)}},
      {"op|add", {ir::StageRef::member(1), ir::StageRef::member(0)}},
  };
  ir::NodeId stage_inputs[] = {x, ext};
  ir::NodeId stage = must(store->intern(NodeKey::stage(stage_inputs, members)));
  ir::NodeId inputs_stage[] = {stage};
  must(store->intern(NodeKey::exchange(ParamMap().view(), inputs_stage)));
  ParamMap scheme = ParamMap::make({{"scheme", ParamValue::Str("hash")}});
  ir::NodeId both[] = {stage, y};
  ir::NodeId exch = must(store->intern(NodeKey::exchange(scheme.view(), both)));
  (void)store->mark_output(exch);
  (void)store->mark_output(add);
  return store;
}

// Walks the records of `blob` with Reader::plain_record and Reader::record
// side by side, up to the first record record() refuses. True when every
// record plain_record accepts is one record() accepts as canonical, with the
// same bytes, offsets and NaN flag, and every refusal leaves the cursor where
// it was. `plain` counts the records plain_record accepted.
inline bool plain_records_agree(std::string_view blob, size_t* plain = nullptr) {
  if (blob.size() < 8) return true;
  uint32_t count;
  std::memcpy(&count, blob.data() + 4, 4);
  Reader fast(blob), full(blob);
  auto shapes = std::make_unique<RecordShapes>();
  for (uint64_t i = 0; i < count; ++i) {
    ir::RecordView view;
    const size_t before = fast.position();
    const bool accepted = fast.plain_record(i, view, *shapes);
    auto checked = full.record(i);
    if (!accepted) {
      if (fast.position() != before) return false;
      if (!checked) return true;
      fast = full;
      continue;
    }
    if (!checked || !checked.value().canonical) return false;
    const ir::RecordView& want = checked.value().view;
    if (view.bytes.data() != want.bytes.data() || view.bytes.size() != want.bytes.size() ||
        view.params_off != want.params_off || view.inputs_off != want.inputs_off || view.has_nan != want.has_nan ||
        fast.position() != full.position())
      return false;
    if (plain != nullptr) ++*plain;
  }
  return true;
}

}  // namespace nodalis::blob
