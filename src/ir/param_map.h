// Parameter maps: the key-sorted (key, value) list every non-stage node
// carries. A map is held in its encoded form, which is byte for byte the map
// encoding of the IR blob (u32 entry count, then per entry: u32 key length,
// key bytes, u8 tag, payload: 8 bytes for Int/Float bits, 1 byte 0/1 for Bool,
// u32 length + bytes for Str; little-endian). One allocation per map, no
// per-entry strings, and the blob encoder copies it as it is.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/le_bytes.h"
#include "ir/param_value.h"

namespace nodalis::ir {

namespace detail {
// CapacityError for a map past 32-bit counts or lengths.
[[noreturn]] void map_too_large();
}  // namespace detail

struct ParamEntryRef {
  std::string_view key;
  ParamRef value;
};

// Non-owning view of an encoded map (count prefix included). Valid as long as
// the bytes it points at (a ParamMap, a NodeKey) live.
class ParamMapView {
 public:
  ParamMapView() noexcept;  // the empty map
  // `data` points at the u32 count; `size` is the whole encoding's length.
  // The bytes must be a well-formed encoding (built by ParamMapBuilder or
  // validated by the blob decoder).
  ParamMapView(const char* data, size_t size) noexcept : data_(data), size_(size) {}

  // Length of the well-formed encoding that starts at `data`.
  static size_t encoded_size_at(const char* data) noexcept;

  uint32_t size() const noexcept;  // number of entries
  bool empty() const noexcept { return size() == 0; }
  std::string_view encoded() const noexcept { return {data_, size_}; }

  class iterator {
   public:
    using value_type = ParamEntryRef;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const char* p, uint32_t left) noexcept;
    ParamEntryRef operator*() const noexcept { return cur_; }
    iterator& operator++() noexcept;
    iterator operator++(int) noexcept { auto t = *this; ++*this; return t; }
    bool operator==(const iterator& o) const noexcept { return left_ == o.left_; }

   private:
    void decode() noexcept;
    const char* p_ = nullptr;
    const char* next_ = nullptr;
    uint32_t left_ = 0;
    ParamEntryRef cur_;
  };
  iterator begin() const noexcept;
  iterator end() const noexcept;

  // "scalar=f0000000000000000;side=sr"; the empty map gives "".
  void append_token(std::string& out) const;
  void write_token(TokenOut& out) const;
  std::string token() const;
  // "{scalar=1, side=\"r\"}"; the empty map gives "{}".
  std::string display() const;
  bool has_nan() const noexcept;

  // Positional comparison; floats by canonical bits.
  friend bool operator==(const ParamMapView& a, const ParamMapView& b) noexcept;
  // Consistent with ==: NaN payloads are canonicalised before hashing.
  uint64_t hash(uint64_t seed) const noexcept;

 private:
  const char* data_;
  size_t size_;
};

// The steps of encoding a map from entries, for callers that keep their
// entries elsewhere (ParamMapBuilder, NodeRecord). Sorting is stable, by key
// bytes (unsigned, lexicographic, a proper prefix first), so duplicate keys
// keep their given order.
void sort_entries(std::span<ParamEntryRef> entries);
// Bytes of the encoding, count prefix included; CapacityError past 32-bit
// counts or lengths. Inline, as is encode_entries: every node built from
// Python encodes its map through them.
inline size_t encoded_size(std::span<const ParamEntryRef> entries) {
  constexpr uint64_t kMax32 = 0xFFFFFFFFull;
  if (entries.size() > kMax32) detail::map_too_large();
  size_t total = 4;
  for (const ParamEntryRef& e : entries) {
    if (e.key.size() > kMax32) detail::map_too_large();
    total += 4 + e.key.size() + 1;
    switch (e.value.tag) {
      case ParamTag::Int:
      case ParamTag::Float: total += 8; break;
      case ParamTag::Bool: total += 1; break;
      case ParamTag::Str:
        if (e.value.str.size() > kMax32) detail::map_too_large();
        total += 4 + e.value.str.size();
        break;
    }
  }
  return total;
}
// Writes the encoding of `entries` (in their order) at `out`, which has room
// for encoded_size(entries) bytes; returns the end.
inline char* encode_entries(std::span<const ParamEntryRef> entries, char* p) noexcept {
  p = le::put_u32(p, static_cast<uint32_t>(entries.size()));
  for (const ParamEntryRef& e : entries) {
    p = le::put_u32(p, static_cast<uint32_t>(e.key.size()));
    p = le::put_bytes(p, e.key.data(), e.key.size());
    *p++ = static_cast<char>(e.value.tag);
    switch (e.value.tag) {
      case ParamTag::Int: p = le::put_u64(p, static_cast<uint64_t>(e.value.i)); break;
      case ParamTag::Float: p = le::put_u64(p, e.value.bits); break;
      case ParamTag::Bool: *p++ = e.value.b ? 1 : 0; break;
      case ParamTag::Str:
        p = le::put_u32(p, static_cast<uint32_t>(e.value.str.size()));
        if (!e.value.str.empty()) std::memcpy(p, e.value.str.data(), e.value.str.size());
        p += e.value.str.size();
        break;
    }
  }
  return p;
}
// Whether some entry is a float NaN (the encoded map's has_nan()).
bool entries_have_nan(std::span<const ParamEntryRef> entries) noexcept;

// Owning encoded map. Immutable; copies are deep (one string copy).
class ParamMap {
 public:
  ParamMap();  // the empty map

  // The only way to build a map from entries: sorts stably by key bytes
  // (unsigned, lexicographic, prefix first); duplicate keys are kept in the
  // given order. Throws CapacityError past 32-bit counts or lengths.
  static ParamMap make(std::vector<std::pair<std::string, ParamValue>> entries);
  // Parses a map token; nothing on any malformed piece.
  static std::optional<ParamMap> from_token(std::string_view text);
  // Adopts an encoding produced by ParamMapBuilder or checked by the decoder
  // (sorted, bools 0/1).
  static ParamMap adopt_encoded(std::string bytes);

  ParamMapView view() const noexcept { return {bytes_.data(), bytes_.size()}; }
  uint32_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return size() == 0; }
  ParamMapView::iterator begin() const noexcept { return view().begin(); }
  ParamMapView::iterator end() const noexcept { return view().end(); }
  std::string token() const { return view().token(); }
  std::string display() const { return view().display(); }
  friend bool operator==(const ParamMap& a, const ParamMap& b) noexcept {
    return a.view() == b.view();
  }

 private:
  explicit ParamMap(std::string bytes) : bytes_(std::move(bytes)) {}
  std::string bytes_;
};

// Builds an encoded map from borrowed keys and values without a ParamMap per
// call: add entries in any order, then finish() sorts them stably and encodes
// into `out` (reused across calls by hot callers such as the Python binding).
class ParamMapBuilder {
 public:
  void clear() noexcept { entries_.clear(); }
  void add(std::string_view key, ParamRef value) { entries_.push_back({key, value}); }
  size_t size() const noexcept { return entries_.size(); }
  // Encodes into `out` (replacing its contents) and returns a view of it.
  // Throws CapacityError past 32-bit counts or lengths.
  ParamMapView finish(std::string& out);
  // Whether some entry is a float NaN: the map's has_nan(), without decoding.
  bool has_nan() const noexcept;

 private:
  std::vector<ParamEntryRef> entries_;
};

}  // namespace nodalis::ir
