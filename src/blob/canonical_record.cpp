// Walks records that the Reader has already checked, so the walk trusts every
// length and tag; it only reorders and rewrites, it never rejects.
#include "blob/canonical_record.h"

#include <algorithm>
#include <cstring>

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
  std::string_view map_bytes() noexcept {
    const char* start = p;
    uint32_t n = u32();
    for (uint32_t i = 0; i < n; ++i) {
      string_bytes();
      uint8_t tag = static_cast<uint8_t>(*p++);
      if (tag <= 1) p += 8;
      else if (tag == 2) p += 1;
      else string_bytes();
    }
    return {start, static_cast<size_t>(p - start)};
  }
};

void put_u32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void put_u64(std::string& out, uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }

void copy_inputs(std::string& out, Walk& w, std::span<const ir::NodeId> ids) {
  uint32_t n = w.u32();
  put_u32(out, n);
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t id = w.u64();
    put_u64(out, id < ids.size() ? ids[id] : id);
  }
}

void copy_params(std::string& out, Walk& w, std::vector<EntrySpan>& scratch) {
  canonicalize_params(out, w.map_bytes(), scratch);
}

}  // namespace

void canonicalize_params(std::string& out, std::string_view checked, std::vector<EntrySpan>& scratch) {
  Walk w{checked.data()};
  uint32_t n = w.u32();
  scratch.clear();
  for (uint32_t i = 0; i < n; ++i) {
    const char* start = w.p;
    std::string_view key = w.string_bytes().substr(4);
    uint8_t tag = static_cast<uint8_t>(*w.p++);
    if (tag <= 1) w.p += 8;
    else if (tag == 2) w.p += 1;
    else w.string_bytes();
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
    if (static_cast<uint8_t>(e.bytes[tag_at]) == 2 && out.back() != 0) out.back() = 1;
  }
}

void canonicalize_record(std::string& out, std::string_view checked, std::span<const ir::NodeId> ids,
                         std::vector<EntrySpan>& scratch) {
  out.clear();
  Walk w{checked.data()};
  auto kind = static_cast<ir::NodeKind>(*w.p++);
  out.push_back(static_cast<char>(kind));
  switch (kind) {
    case ir::NodeKind::Source:
      out.append(w.string_bytes());
      copy_params(out, w, scratch);
      break;
    case ir::NodeKind::Op:
    case ir::NodeKind::Reduction:
      out.append(w.string_bytes());
      copy_params(out, w, scratch);
      copy_inputs(out, w, ids);
      break;
    case ir::NodeKind::External: {
      for (int i = 0; i < 5; ++i) out.append(w.string_bytes());
      bool present = *w.p++ != 0;
      out.push_back(present ? 1 : 0);
      if (present) out.append(w.string_bytes());
      copy_params(out, w, scratch);
      copy_inputs(out, w, ids);
      break;
    }
    case ir::NodeKind::Stage:
      copy_inputs(out, w, ids);
      // Members refer to stage positions, never to node ids: kept as they are.
      out.append(w.p, static_cast<size_t>(checked.data() + checked.size() - w.p));
      break;
    case ir::NodeKind::Exchange:
      copy_params(out, w, scratch);
      copy_inputs(out, w, ids);
      break;
  }
}

}  // namespace nodalis::blob
