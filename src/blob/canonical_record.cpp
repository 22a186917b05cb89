// Walks records that the Reader has already checked, so the walk trusts every
// length and tag; it only reorders and rewrites, it never rejects.
#include "blob/canonical_record.h"

#include <algorithm>
#include <cstring>

#include "ir/record_layout.h"

namespace nodalis::blob {

namespace {

// A cursor over checked bytes.
struct Walk {
  const char* p;

  uint32_t u32() noexcept {
    uint32_t v;
    std::memcpy(&v, p, 4);
    p += 4;
    return v;
  }
  uint64_t u64() noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    p += 8;
    return v;
  }
  // A string's whole encoding (length prefix included).
  std::string_view string_bytes() noexcept {
    const char* start = p;
    uint32_t n = u32();
    p += n;
    return {start, static_cast<size_t>(p - start)};
  }
};

void put_u32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void put_u64(std::string& out, uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }

// Appends the canonical form of the map at `w` and moves `w` past it: one
// pass locates the entries, the sort and the copy use what it found.
void copy_params(std::string& out, Walk& w, std::vector<EntrySpan>& scratch) {
  uint32_t n = w.u32();
  scratch.clear();
  for (uint32_t i = 0; i < n; ++i) {
    const char* start = w.p;
    std::string_view key = w.string_bytes().substr(4);
    const auto tag = static_cast<ir::ParamTag>(*w.p++);
    if (tag == ir::ParamTag::Str)
      w.string_bytes();
    else
      w.p += ir::fixed_payload_size(tag);
    scratch.push_back({key, {start, static_cast<size_t>(w.p - start)}});
  }
  // string_view compares bytes as unsigned chars, a proper prefix first.
  std::stable_sort(scratch.begin(), scratch.end(),
                   [](const EntrySpan& a, const EntrySpan& b) { return a.key < b.key; });
  put_u32(out, n);
  for (const EntrySpan& e : scratch) {
    out.append(e.bytes);
    // A bool is the entry's last byte; anything but 0 means true.
    size_t tag_at = 4 + e.key.size();
    if (static_cast<ir::ParamTag>(e.bytes[tag_at]) == ir::ParamTag::Bool && out.back() != 0) out.back() = 1;
  }
}

// The record's fields in layout order, copied canonically.
struct Copier {
  std::string& out;
  Walk w;
  const char* end;
  std::span<const ir::NodeId> ids;
  std::vector<EntrySpan>& scratch;

  bool text(ir::RecordText) { out.append(w.string_bytes()); return true; }
  bool presence(bool& present) {
    present = *w.p++ != 0;
    out.push_back(present ? 1 : 0);
    return true;
  }
  bool params() { copy_params(out, w, scratch); return true; }
  bool inputs() {
    uint32_t n = w.u32();
    put_u32(out, n);
    for (uint32_t i = 0; i < n; ++i) {
      uint64_t id = w.u64();
      put_u64(out, id < ids.size() ? ids[id] : id);
    }
    return true;
  }
  // Members refer to stage positions, never to node ids: kept as they are.
  bool members() {
    out.append(w.p, static_cast<size_t>(end - w.p));
    return true;
  }
};

}  // namespace

void canonicalize_params(std::string& out, std::string_view checked, std::vector<EntrySpan>& scratch) {
  Walk w{checked.data()};
  copy_params(out, w, scratch);
}

void canonicalize_record(std::string& out, std::string_view checked, std::span<const ir::NodeId> ids,
                         std::vector<EntrySpan>& scratch) {
  out.clear();
  const auto kind = static_cast<ir::NodeKind>(checked[0]);
  out.push_back(static_cast<char>(kind));
  Copier copier{out, Walk{checked.data() + 1}, checked.data() + checked.size(), ids, scratch};
  ir::walk_fields(kind, copier);
}

}  // namespace nodalis::blob
