// NodeKey: the complete structural description of one IR node, which is at
// once its content and its identity (the store interns keys).
//
// A key is an immutable, reference-counted record whose bytes are exactly the
// node's record in the IR blob (u8 kind tag, then the kind's fields: strings as
// u32 length + bytes, maps as in param_map.h, input lists as u32 count + u64
// ids, external presence byte 0/1, stage members as token string, u32 arity,
// 5-byte refs; little-endian). So a key costs one allocation, copying a key is
// a reference-count increment (snapshots share what is immutable), equality is
// mostly one memcmp, and the blob encoder writes records as they are.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "base/le_bytes.h"
#include "ir/param_map.h"
#include "ir/payload_descriptor.h"
#include "ir/stage_op.h"

namespace nodalis::ir {

class KeyArena;
using NodeId = uint64_t;

// The position is the kind index (blob tag, hashing).
enum class NodeKind : uint8_t { Source = 0, Op = 1, Reduction = 2, External = 3, Stage = 4, Exchange = 5 };

// "source", "op", "reduction", "external", "stage", "exchange".
std::string_view kind_name(NodeKind kind) noexcept;

// A node's input ids, read from the record (unaligned u64s).
class InputsView {
 public:
  InputsView() noexcept = default;
  InputsView(const char* p, uint32_t n) noexcept : p_(p), n_(n) {}
  uint32_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  NodeId operator[](uint32_t i) const noexcept {
    NodeId v;
    std::memcpy(&v, p_ + 8 * static_cast<size_t>(i), 8);
    return v;
  }
  std::vector<NodeId> to_vector() const;

  class iterator {
   public:
    using value_type = NodeId;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    explicit iterator(const char* p) noexcept : p_(p) {}
    NodeId operator*() const noexcept { NodeId v; std::memcpy(&v, p_, 8); return v; }
    iterator& operator++() noexcept { p_ += 8; return *this; }
    iterator operator++(int) noexcept { auto t = *this; p_ += 8; return t; }
    bool operator==(const iterator& o) const noexcept { return p_ == o.p_; }
   private:
    const char* p_ = nullptr;
  };
  iterator begin() const noexcept { return iterator(p_); }
  iterator end() const noexcept { return iterator(p_ + 8 * static_cast<size_t>(n_)); }

 private:
  const char* p_ = nullptr;
  uint32_t n_ = 0;
};

// The members of a stage key, in order.
class MembersView {
 public:
  MembersView() noexcept = default;
  MembersView(const char* p, uint32_t n) noexcept : p_(p), n_(n) {}
  uint32_t size() const noexcept { return n_; }
  class iterator {
   public:
    using value_type = StageOpView;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const char* p, uint32_t left) noexcept : p_(p), left_(left) {}
    StageOpView operator*() const noexcept;
    iterator& operator++() noexcept;
    iterator operator++(int) noexcept { auto t = *this; ++*this; return t; }
    bool operator==(const iterator& o) const noexcept { return left_ == o.left_; }
   private:
    const char* p_ = nullptr;
    uint32_t left_ = 0;
  };
  iterator begin() const noexcept { return {p_, n_}; }
  iterator end() const noexcept { return {nullptr, 0}; }
  std::vector<StageOp> to_owned() const;

 private:
  const char* p_ = nullptr;
  uint32_t n_ = 0;
};

namespace detail {
// Header of the single allocation behind a key; the record bytes follow it.
struct NodeRep {
  std::atomic<uint32_t> refs;
  uint32_t size;        // record length in bytes
  uint32_t params_off;  // offset of the map's u32 count; kNone for a stage
  uint32_t inputs_off;  // offset of the input list's u32 count; kNone for a source
  uint8_t has_nan;      // some float parameter is a NaN (equality/hash slow path)
  uint8_t block_log2;   // 0: allocated alone; else held in a KeyArena block of 2^block_log2 bytes
  const char* record() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* record() noexcept { return reinterpret_cast<char*>(this + 1); }
};
inline constexpr uint32_t kNone = 0xFFFFFFFFu;
}  // namespace detail

// A node record with the layout facts a key keeps beside it, wherever the
// bytes live: in a key, or still in a caller's buffer (NodeRecord). Equality
// and hashing are defined on this form, so a record can be looked up in a
// store before any key is allocated for it.
struct RecordView {
  std::string_view bytes;
  uint32_t params_off = detail::kNone;  // the map's u32 count; kNone for a stage
  uint32_t inputs_off = detail::kNone;  // the input list's u32 count; kNone for a source
  bool has_nan = false;                 // some float parameter is a NaN

  InputsView inputs() const noexcept;
  ParamMapView params() const noexcept;
};

// Inline: every pass over a graph reads each node's inputs.
inline InputsView RecordView::inputs() const noexcept {
  if (inputs_off == detail::kNone) return {};
  const char* p = bytes.data() + inputs_off;
  return InputsView(p + 4, le::u32(p));
}

// The rules of NodeKey's == and hash, on records.
bool records_equal(const RecordView& a, const RecordView& b) noexcept;
// A record with a NaN hashes by a slower route (record_hash_nan); the plain
// case is inline, as every interning call and the decoder take it.
uint64_t record_hash_nan(const RecordView& r, uint64_t seed) noexcept;
inline uint64_t record_hash(const RecordView& r, uint64_t seed) noexcept {
  // hash_bytes ends on a full 64x64->128 multiply, whose folded halves are
  // mixed enough for the table; only the word-by-word NaN route needs the
  // finishing avalanche.
  if (!r.has_nan) return hash_bytes(seed, r.bytes.data(), r.bytes.size());
  return record_hash_nan(r, seed);
}

class NodeKey {
 public:
  // Factories; every string, list and map must fit the record's 32-bit
  // lengths and counts, else CapacityError (nothing is built).
  static NodeKey source(std::string_view name, ParamMapView params);
  static NodeKey op(std::string_view name, ParamMapView params, std::span<const NodeId> inputs);
  static NodeKey reduction(std::string_view name, ParamMapView params, std::span<const NodeId> inputs);
  static NodeKey external(const PayloadDescriptorView& descriptor, ParamMapView params,
                          std::span<const NodeId> inputs);
  static NodeKey stage(std::span<const NodeId> inputs, std::span<const StageOp> members);
  static NodeKey exchange(ParamMapView params, std::span<const NodeId> inputs);
  // Adopts a record whose well-formedness the caller has established (the
  // blob decoder after its checks and normalisation): sorted maps, bool and
  // presence bytes 0/1, valid UTF-8, member refs to earlier members only.
  static NodeKey from_trusted_record(std::string_view record);
  // A key holding a copy of `record`, whose offsets and NaN flag must
  // describe its bytes (as NodeRecord's do), in `arena` when given (the
  // caller serialises calls on one arena). CapacityError past 32 bits.
  static NodeKey from_record(const RecordView& record, KeyArena* arena = nullptr);
  // A key with room for a record of `size` bytes and the given offsets, for
  // a writer that knows the size ahead (StageRecordWriter::begin_at) to write
  // in place, sparing from_record's copy. `bytes` is where the record goes;
  // the key must not be read, compared or shared before every byte is written.
  static NodeKey to_fill(size_t size, uint32_t params_off, uint32_t inputs_off, KeyArena* arena, char*& bytes);
  // Bytes a key for a record of `size` bytes takes in an arena, and the key
  // made in such room: at `at` in a block of 2^block_log2 bytes, counted
  // there as a live key (KeyArena::allocate_run). For a caller adding many
  // keys at once (the blob decoder); inline, as it runs once per record.
  static size_t arena_bytes(size_t size) noexcept { return (sizeof(detail::NodeRep) + size + 3) & ~size_t{3}; }
  static NodeKey place(const RecordView& record, char* at, uint8_t block_log2) noexcept;

  NodeKey() noexcept = default;  // an empty handle; only assignable/destructible
  NodeKey(const NodeKey& o) noexcept;
  NodeKey(NodeKey&& o) noexcept : rep_(std::exchange(o.rep_, nullptr)) {}
  NodeKey& operator=(const NodeKey& o) noexcept;
  NodeKey& operator=(NodeKey&& o) noexcept;
  // Inline, so that the many moved-from (empty) keys cost no call.
  ~NodeKey() {
    if (rep_ != nullptr) drop();
  }

  bool valid() const noexcept { return rep_ != nullptr; }
  NodeKind kind() const noexcept { return static_cast<NodeKind>(rep_->record()[0]); }
  // Name of a source, op or reduction; "" for the other kinds.
  std::string_view name() const noexcept;
  // The params; the empty map for a stage.
  ParamMapView params() const noexcept;
  // The input list; empty for a source; the stage's own inputs for a stage.
  InputsView inputs() const noexcept;
  // Only for External keys.
  PayloadDescriptorView descriptor() const noexcept;
  // Only for Stage keys; empty for the others.
  MembersView members() const noexcept;

  // The node's token: its operation without inputs ("op|add",
  // "op|mul|scalar=f3ff0000000000000;side=sr", "stage|3", "exch").
  std::string token() const;
  void append_token(std::string& out) const;
  void write_token(TokenOut& out) const;

  // A copy with the input list replaced; a source ignores the list (and is
  // itself the copy). In `arena` when given, as for from_record.
  NodeKey with_inputs(std::span<const NodeId> inputs, KeyArena* arena = nullptr) const;

  // The record bytes (the node's blob record).
  std::string_view record() const noexcept { return {rep_->record(), rep_->size}; }
  bool has_nan() const noexcept { return rep_->has_nan != 0; }
  RecordView view() const noexcept {
    return {record(), rep_->params_off, rep_->inputs_off, rep_->has_nan != 0};
  }

  // Structural equality: kinds and every field; floats by canonical bits.
  friend bool operator==(const NodeKey& a, const NodeKey& b) noexcept;
  // Consistent with ==; `seed` is the table's.
  uint64_t hash(uint64_t seed) const noexcept;

 private:
  explicit NodeKey(detail::NodeRep* rep) noexcept : rep_(rep) {}
  void drop() noexcept;  // lets go of a held record
  friend class NodeKeyWriter;
  friend class GraphStore;  // lends its keys without a count (GraphStore::borrow)
  detail::NodeRep* rep_ = nullptr;
};

namespace detail {
// memcpy for a record of a few dozen bytes, without a call, as le::put_bytes
// copies, with one fixed path for the common lengths.
inline void copy_record(char* to, const char* from, size_t n) noexcept {
  if (n > 16 && n <= 64) {
    // Most records: four moves whatever the length (the middle ones land
    // on bytes written anyway), so that no branch depends on it.
    const size_t last = n - 16;
    const size_t second = last < 16 ? last : 16;
    const size_t third = last < 32 ? last : 32;
    std::memcpy(to, from, 16);
    std::memcpy(to + second, from + second, 16);
    std::memcpy(to + third, from + third, 16);
    std::memcpy(to + last, from + last, 16);
  } else {
    le::put_bytes(to, from, n);
  }
}
}  // namespace detail

inline NodeKey NodeKey::place(const RecordView& record, char* at, uint8_t block_log2) noexcept {
  const size_t size = record.bytes.size();
  // Every field at once: the header is written in a few wide stores.
  auto* rep = new (at) detail::NodeRep{{1}, static_cast<uint32_t>(size), record.params_off, record.inputs_off,
                                       static_cast<uint8_t>(record.has_nan ? 1 : 0), block_log2};
  detail::copy_record(rep->record(), record.bytes.data(), size);
  // Arena memory is seldom in cache: ask for the lines a few keys ahead,
  // so that writing them does not wait.
  __builtin_prefetch(at + 512, 1);
  return NodeKey(rep);
}

inline InputsView NodeKey::inputs() const noexcept {
  if (rep_->inputs_off == detail::kNone) return {};
  const char* p = rep_->record() + rep_->inputs_off;
  return InputsView(p + 4, le::u32(p));
}

// with_params(base, params): base, or base + "|" + params token.
std::string with_params(std::string_view base, ParamMapView params);

struct ParsedOpToken {
  std::string kind;  // "op" or "red"
  std::string name;
  ParamMap params;
};
// Splits "op|name|params" / "red|name|params" back; nothing otherwise.
std::optional<ParsedOpToken> parse_op_token(std::string_view token);

}  // namespace nodalis::ir
