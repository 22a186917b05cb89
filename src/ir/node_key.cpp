// Node keys as single reference-counted records in blob layout: building each
// kind (lengths checked before anything is allocated), reading the fields
// back, equality and hashing over the bytes.
#include "ir/node_key.h"

#include <new>

#include "base/fault.h"
#include "base/hash.h"
#include "base/le_bytes.h"
#include "ir/key_arena.h"
#include "ir/record_layout.h"
#include "ir/stage_record.h"

namespace nodalis::ir {

using detail::kNone;
using detail::NodeRep;

namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFFull;

[[noreturn]] void too_large(const char* what) {
  throw CapacityError(std::string("node key too large: ") + what + " must be below 2^32");
}

// First pass of every build but a stage's (StageRecordWriter writes those):
// sizes the record and refuses any length or count that the 32-bit fields
// cannot hold, before memory is taken.
struct Counter {
  ParamMapView map;
  uint64_t n = 0;
  void u8(uint8_t) { n += 1; }
  void count(uint64_t c, const char* what) {
    if (c > kMax32) too_large(what);
    n += 4;
  }
  void str(std::string_view s) {
    count(s.size(), "string lengths");
    n += s.size();
  }
  void params() { n += map.encoded().size(); }
  void inputs(std::span<const NodeId> ids) {
    count(ids.size(), "input counts");
    n += 8 * static_cast<uint64_t>(ids.size());
  }
};

// Second pass: writes into the allocated record and notes where the map and
// the input list start.
struct Writer {
  ParamMapView map;
  char* base;
  char* p;
  uint32_t params_off = kNone;
  uint32_t inputs_off = kNone;
  void u8(uint8_t v) { *p++ = static_cast<char>(v); }
  void str(std::string_view s) {
    p = le::put_u32(p, static_cast<uint32_t>(s.size()));
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    p += s.size();
  }
  void params() {
    params_off = static_cast<uint32_t>(p - base);
    const std::string_view e = map.encoded();
    std::memcpy(p, e.data(), e.size());
    p += e.size();
  }
  void inputs(std::span<const NodeId> ids) {
    inputs_off = static_cast<uint32_t>(p - base);
    p = le::put_u32(p, static_cast<uint32_t>(ids.size()));
    for (NodeId id : ids) p = le::put_u64(p, id);
  }
};

// A record's header in fresh memory: one reference, no sections yet.
NodeRep* start_rep(void* mem, uint64_t size, uint8_t block_log2) noexcept {
  auto* rep = new (mem) NodeRep{};
  rep->refs.store(1, std::memory_order_relaxed);
  rep->size = static_cast<uint32_t>(size);
  rep->params_off = kNone;
  rep->inputs_off = kNone;
  rep->has_nan = 0;
  rep->block_log2 = block_log2;
  return rep;
}

NodeRep* allocate(uint64_t size) {
  if (size > kMax32) too_large("records");
  return start_rep(::operator new(sizeof(NodeRep) + static_cast<size_t>(size)), size, 0);
}

// In `arena` when one is given and the record fits its blocks, else alone.
NodeRep* allocate_in(uint64_t size, KeyArena* arena) {
  uint8_t block_log2 = 0;
  void* mem = size <= kMax32 && arena != nullptr ? arena->allocate(sizeof(NodeRep) + size, block_log2) : nullptr;
  if (mem == nullptr) return allocate(size);  // refuses a record past 32 bits
  return start_rep(mem, size, block_log2);
}

void release(NodeRep* rep) noexcept {
  if (rep && rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    const uint8_t block_log2 = rep->block_log2;
    rep->~NodeRep();
    if (block_log2 == 0)
      ::operator delete(rep);
    else
      KeyArena::release(rep, block_log2);
  }
}

uint32_t skip_str(const char* r, uint32_t off) noexcept { return off + 4 + le::u32(r + off); }

// Notes where a well-formed record's map and input list start.
struct OffsetFinder {
  const char* r;
  uint32_t off = 1;
  uint32_t params_off = kNone;
  uint32_t inputs_off = kNone;
  bool text(RecordText) { off = skip_str(r, off); return true; }
  bool presence(bool& present) { present = r[off++] != 0; return true; }
  bool params() {
    params_off = off;
    off += static_cast<uint32_t>(ParamMapView::encoded_size_at(r + off));
    return true;
  }
  bool inputs() {
    inputs_off = off;
    off += 4 + 8 * le::u32(r + off);
    return true;
  }
  bool members() { return true; }
};

// End of the map: the input list follows it, or the record ends.
uint32_t params_end(const NodeRep& rep) noexcept {
  return rep.inputs_off != kNone ? rep.inputs_off : rep.size;
}

}  // namespace

// Runs `emit` once to size and check, once to write.
class NodeKeyWriter {
 public:
  static NodeKey build(const RecordFields& fields, ParamMapView params) {
    Counter counter{params};
    write_record(counter, fields);
    NodeRep* rep = allocate(counter.n);
    Writer w{params, rep->record(), rep->record()};
    write_record(w, fields);
    rep->params_off = w.params_off;
    rep->inputs_off = w.inputs_off;
    rep->has_nan = params.has_nan() ? 1 : 0;
    return NodeKey(rep);
  }
  static NodeKey adopt(std::string_view record);
  static NodeKey replace_inputs(const NodeRep& old, std::span<const NodeId> inputs, KeyArena* arena);
};

NodeKey NodeKeyWriter::adopt(std::string_view record) {
  NodeRep* rep = allocate(record.size());
  NodeKey key(rep);  // frees the record should anything below throw
  std::memcpy(rep->record(), record.data(), record.size());
  const uint8_t tag = static_cast<uint8_t>(rep->record()[0]);
  if (!is_node_kind(tag)) throw InternalFault("node record with an unknown kind tag " + std::to_string(tag));
  OffsetFinder found{rep->record()};
  walk_fields(static_cast<NodeKind>(tag), found);
  rep->params_off = found.params_off;
  rep->inputs_off = found.inputs_off;
  rep->has_nan = key.params().has_nan() ? 1 : 0;
  return key;
}

NodeKey NodeKeyWriter::replace_inputs(const NodeRep& old, std::span<const NodeId> inputs, KeyArena* arena) {
  if (inputs.size() > kMax32) too_large("input counts");
  const char* r = old.record();
  const uint32_t old_list_end = old.inputs_off + 4 + 8 * le::u32(r + old.inputs_off);
  const uint64_t tail = old.size - old_list_end;  // a stage's members
  NodeRep* rep = allocate_in(uint64_t{old.inputs_off} + 4 + 8 * uint64_t{inputs.size()} + tail, arena);
  char* p = rep->record();
  std::memcpy(p, r, old.inputs_off);
  p += old.inputs_off;
  p = le::put_u32(p, static_cast<uint32_t>(inputs.size()));
  for (NodeId id : inputs) p = le::put_u64(p, id);
  std::memcpy(p, r + old_list_end, tail);
  rep->params_off = old.params_off;
  rep->inputs_off = old.inputs_off;
  rep->has_nan = old.has_nan;
  return NodeKey(rep);
}

NodeKey NodeKey::source(std::string_view name, ParamMapView params) {
  return NodeKeyWriter::build({.kind = NodeKind::Source, .name = name}, params);
}

NodeKey NodeKey::op(std::string_view name, ParamMapView params, std::span<const NodeId> inputs) {
  return NodeKeyWriter::build({.kind = NodeKind::Op, .name = name, .inputs = inputs}, params);
}

NodeKey NodeKey::reduction(std::string_view name, ParamMapView params, std::span<const NodeId> inputs) {
  return NodeKeyWriter::build({.kind = NodeKind::Reduction, .name = name, .inputs = inputs}, params);
}

NodeKey NodeKey::external(const PayloadDescriptorView& d, ParamMapView params, std::span<const NodeId> inputs) {
  return NodeKeyWriter::build({.kind = NodeKind::External, .descriptor = &d, .inputs = inputs}, params);
}

NodeKey NodeKey::stage(std::span<const NodeId> inputs, std::span<const StageOp> members) {
  StageRecordWriter record;
  record.write(inputs, members);
  return from_record(record.view());
}

NodeKey NodeKey::exchange(ParamMapView params, std::span<const NodeId> inputs) {
  return NodeKeyWriter::build({.kind = NodeKind::Exchange, .inputs = inputs}, params);
}

NodeKey NodeKey::from_trusted_record(std::string_view record) { return NodeKeyWriter::adopt(record); }

NodeKey::NodeKey(const NodeKey& o) noexcept : rep_(o.rep_) {
  if (rep_) rep_->refs.fetch_add(1, std::memory_order_relaxed);
}

NodeKey& NodeKey::operator=(const NodeKey& o) noexcept {
  if (o.rep_) o.rep_->refs.fetch_add(1, std::memory_order_relaxed);
  release(rep_);
  rep_ = o.rep_;
  return *this;
}

NodeKey& NodeKey::operator=(NodeKey&& o) noexcept {
  if (this != &o) {
    release(rep_);
    rep_ = std::exchange(o.rep_, nullptr);
  }
  return *this;
}

void NodeKey::drop() noexcept { release(rep_); }

std::string_view NodeKey::name() const noexcept {
  switch (kind()) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: {
      const char* r = rep_->record();
      return {r + 5, le::u32(r + 1)};
    }
    default:
      return {};
  }
}

ParamMapView NodeKey::params() const noexcept {
  if (rep_->params_off == kNone) return ParamMapView();
  return ParamMapView(rep_->record() + rep_->params_off, params_end(*rep_) - rep_->params_off);
}

PayloadDescriptorView NodeKey::descriptor() const noexcept {
  struct Reader {
    const char* r;
    uint32_t off = 1;
    PayloadDescriptorView d = {};
    bool text(RecordText t) {
      const std::string_view text(r + off + 4, le::u32(r + off));
      off = skip_str(r, off);
      switch (t) {
        case RecordText::DescriptorKind: d.kind = text; break;
        case RecordText::ContentHash: d.content_hash = text; break;
        case RecordText::Framework: d.framework = text; break;
        case RecordText::Version: d.version = text; break;
        case RecordText::IoSchema: d.io_schema = text; break;
        case RecordText::PreprocessingRef: d.preprocessing_ref = text; break;
        case RecordText::Name: break;
      }
      return true;
    }
    bool presence(bool& present) { present = r[off++] != 0; return true; }
    bool params() { return false; }  // the descriptor ends here
    bool inputs() { return false; }
    bool members() { return false; }
  } reader{rep_->record()};
  if (kind() == NodeKind::External) walk_fields(NodeKind::External, reader);
  return reader.d;
}

MembersView NodeKey::members() const noexcept {
  if (kind() != NodeKind::Stage) return {};
  // The members follow the input list.
  const char* r = rep_->record();
  const uint32_t off = rep_->inputs_off + 4 + 8 * le::u32(r + rep_->inputs_off);
  return MembersView(r + off + 4, le::u32(r + off));
}

NodeKey NodeKey::with_inputs(std::span<const NodeId> inputs, KeyArena* arena) const {
  if (kind() == NodeKind::Source) return *this;
  return NodeKeyWriter::replace_inputs(*rep_, inputs, arena);
}

namespace {
uint32_t params_end(const RecordView& r) noexcept {
  return r.inputs_off != kNone ? r.inputs_off : static_cast<uint32_t>(r.bytes.size());
}
}  // namespace

ParamMapView RecordView::params() const noexcept {
  if (params_off == kNone) return ParamMapView();
  return ParamMapView(bytes.data() + params_off, params_end(*this) - params_off);
}

bool records_equal(const RecordView& x, const RecordView& y) noexcept {
  // Canonicalising NaNs keeps every length, so different sizes never match,
  // and without a NaN on either side the record bytes are canonical.
  const size_t size = x.bytes.size();
  if (size != y.bytes.size()) return false;
  const char* a = x.bytes.data();
  const char* b = y.bytes.data();
  if (a == b || std::memcmp(a, b, size) == 0) return true;
  if (!x.has_nan || !y.has_nan) return false;
  // Both carry a NaN, so both have a map: compare around it.
  if (x.params_off != y.params_off || std::memcmp(a, b, x.params_off) != 0) return false;
  if (!(x.params() == y.params())) return false;
  const uint32_t end = params_end(x);
  return end == params_end(y) && std::memcmp(a + end, b + end, size - end) == 0;
}

uint64_t record_hash_nan(const RecordView& r, uint64_t seed) noexcept {
  // Keys with a NaN only equal keys with a NaN, so they may hash by another
  // route: the bytes around the map plus the map's canonical hash.
  const char* p = r.bytes.data();
  uint64_t h = hash_bytes(seed, p, r.params_off);
  h = r.params().hash(h);
  const uint32_t end = params_end(r);
  return hash_finish(hash_bytes(h, p + end, r.bytes.size() - end));
}

bool operator==(const NodeKey& a, const NodeKey& b) noexcept {
  if (a.rep_ == b.rep_) return true;
  if (!a.rep_ || !b.rep_) return false;
  return records_equal(a.view(), b.view());
}

uint64_t NodeKey::hash(uint64_t seed) const noexcept { return record_hash(view(), seed); }

NodeKey NodeKey::to_fill(size_t size, uint32_t params_off, uint32_t inputs_off, KeyArena* arena, char*& bytes) {
  NodeRep* rep = allocate_in(size, arena);
  rep->params_off = params_off;
  rep->inputs_off = inputs_off;
  bytes = rep->record();
  return NodeKey(rep);
}

NodeKey NodeKey::from_record(const RecordView& record, KeyArena* arena) {
  NodeRep* rep = allocate_in(record.bytes.size(), arena);
  if (!record.bytes.empty()) std::memcpy(rep->record(), record.bytes.data(), record.bytes.size());
  rep->params_off = record.params_off;
  rep->inputs_off = record.inputs_off;
  rep->has_nan = record.has_nan ? 1 : 0;
  return NodeKey(rep);
}

std::vector<NodeId> InputsView::to_vector() const { return std::vector<NodeId>(begin(), end()); }

StageOpView MembersView::iterator::operator*() const noexcept {
  const uint32_t tlen = le::u32(p_);
  const char* q = p_ + 4 + tlen;
  return StageOpView(std::string_view(p_ + 4, tlen), q + 4, le::u32(q));
}

MembersView::iterator& MembersView::iterator::operator++() noexcept {
  const uint32_t tlen = le::u32(p_);
  const char* q = p_ + 4 + tlen;
  p_ = q + 4 + 5 * static_cast<size_t>(le::u32(q));
  --left_;
  return *this;
}

std::vector<StageOp> MembersView::to_owned() const {
  std::vector<StageOp> out;
  out.reserve(n_);
  for (const StageOpView m : *this) out.push_back(m.to_owned());
  return out;
}

StageRef StageOpView::ref(uint32_t i) const noexcept {
  const char* p = refs_ + 5 * static_cast<size_t>(i);
  return {static_cast<StageRefKind>(p[0]), le::u32(p + 1)};
}

StageOp StageOpView::to_owned() const {
  StageOp op;
  op.token = std::string(token_);
  op.inputs.reserve(arity_);
  for (uint32_t i = 0; i < arity_; ++i) op.inputs.push_back(ref(i));
  return op;
}

PayloadDescriptor PayloadDescriptorView::to_owned() const {
  PayloadDescriptor d{std::string(kind), std::string(content_hash), std::string(framework),
                      std::string(version), std::string(io_schema), std::nullopt};
  if (preprocessing_ref) d.preprocessing_ref = std::string(*preprocessing_ref);
  return d;
}

}  // namespace nodalis::ir
