// Parameter maps held in their blob encoding: reading, tokens, display,
// equality and hashing straight from the bytes, and the sorted encoding of
// maps built from entries.
#include "ir/param_map.h"

#include <algorithm>

#include "base/fault.h"
#include "base/hash.h"
#include "base/le_bytes.h"
#include "ir/token_escape.h"

namespace nodalis::ir {

namespace {

constexpr char kEmptyEncoding[4] = {0, 0, 0, 0};

// Reads the entry at p into e and returns the start of the next entry.
const char* read_entry(const char* p, ParamEntryRef& e) noexcept {
  const uint32_t klen = le::u32(p);
  e.key = std::string_view(p + 4, klen);
  p += 4 + klen;
  ParamRef& v = e.value;
  v = ParamRef{};
  v.tag = static_cast<ParamTag>(static_cast<unsigned char>(*p++));
  switch (v.tag) {
    case ParamTag::Int:
      v.i = static_cast<int64_t>(le::u64(p));
      return p + 8;
    case ParamTag::Float:
      v.bits = le::u64(p);
      return p + 8;
    case ParamTag::Bool:
      v.b = *p != 0;
      return p + 1;
    case ParamTag::Str: {
      const uint32_t slen = le::u32(p);
      v.str = std::string_view(p + 4, slen);
      return p + 4 + slen;
    }
  }
  return p;  // unreachable for a well-formed encoding
}

}  // namespace

void detail::map_too_large() {
  throw CapacityError("parameter map too large: counts and lengths must be below 2^32");
}

ParamMapView::ParamMapView() noexcept : data_(kEmptyEncoding), size_(sizeof kEmptyEncoding) {}

size_t ParamMapView::encoded_size_at(const char* data) noexcept {
  const uint32_t n = le::u32(data);
  const char* p = data + 4;
  ParamEntryRef e;
  for (uint32_t k = 0; k < n; ++k) p = read_entry(p, e);
  return static_cast<size_t>(p - data);
}

uint32_t ParamMapView::size() const noexcept { return le::u32(data_); }

ParamMapView::iterator::iterator(const char* p, uint32_t left) noexcept : p_(p), left_(left) { decode(); }

void ParamMapView::iterator::decode() noexcept {
  if (left_ > 0) next_ = read_entry(p_, cur_);
}

ParamMapView::iterator& ParamMapView::iterator::operator++() noexcept {
  p_ = next_;
  --left_;
  decode();
  return *this;
}

ParamMapView::iterator ParamMapView::begin() const noexcept { return iterator(data_ + 4, size()); }
ParamMapView::iterator ParamMapView::end() const noexcept { return iterator(nullptr, 0); }

void ParamMapView::write_token(TokenOut& out) const {
  bool first = true;
  for (const ParamEntryRef e : *this) {
    if (!first) out.put(';');
    first = false;
    out.put_escaped(e.key);
    out.put('=');
    e.value.write_token(out);
  }
}

void ParamMapView::append_token(std::string& out) const {
  TokenOut o(std::move(out));
  write_token(o);
  out = o.take();
}

std::string ParamMapView::token() const {
  std::string out;
  append_token(out);
  return out;
}

std::string ParamMapView::display() const {
  std::string out = "{";
  bool first = true;
  for (const ParamEntryRef e : *this) {
    if (!first) out += ", ";
    first = false;
    out += e.key;
    out.push_back('=');
    e.value.append_display(out);
  }
  out.push_back('}');
  return out;
}

bool ParamMapView::has_nan() const noexcept {
  for (const ParamEntryRef e : *this) {
    // Any NaN, the canonical one included: every map with a NaN must take
    // the same (structural) hashing path.
    if (e.value.tag == ParamTag::Float && canonical_bits_of_raw(e.value.bits) == kCanonicalNaNBits) return true;
  }
  return false;
}

bool operator==(const ParamMapView& a, const ParamMapView& b) noexcept {
  // Without a non-canonical NaN the encoding is canonical (sorted entries,
  // bool bytes 0/1), so equal maps have equal bytes and NaN canonicalisation
  // keeps every length: different lengths can never be equal.
  if (a.size_ != b.size_) return false;
  if (std::memcmp(a.data_, b.data_, a.size_) == 0) return true;
  if (!a.has_nan() && !b.has_nan()) return false;
  if (a.size() != b.size()) return false;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    const ParamEntryRef ea = *ia, eb = *ib;
    if (ea.key != eb.key || !(ea.value == eb.value)) return false;
  }
  return true;
}

uint64_t ParamMapView::hash(uint64_t seed) const noexcept {
  // A map with a NaN only equals maps with a NaN at the same position, so the
  // two classes may hash differently; only the NaN class pays for a walk.
  if (!has_nan()) return hash_finish(hash_bytes(seed, data_, size_));
  uint64_t h = hash_word(seed, size());
  for (const ParamEntryRef e : *this) {
    h = hash_bytes(h, e.key.data(), e.key.size());
    h = hash_word(h, static_cast<uint64_t>(e.value.tag));
    switch (e.value.tag) {
      case ParamTag::Int: h = hash_word(h, static_cast<uint64_t>(e.value.i)); break;
      case ParamTag::Float: h = hash_word(h, canonical_bits_of_raw(e.value.bits)); break;
      case ParamTag::Bool: h = hash_word(h, e.value.b ? 1 : 0); break;
      case ParamTag::Str: h = hash_bytes(h, e.value.str.data(), e.value.str.size()); break;
    }
  }
  return hash_finish(h);
}

bool entries_have_nan(std::span<const ParamEntryRef> entries) noexcept {
  for (const ParamEntryRef& e : entries) {
    if (e.value.tag == ParamTag::Float && canonical_bits_of_raw(e.value.bits) == kCanonicalNaNBits) return true;
  }
  return false;
}

bool ParamMapBuilder::has_nan() const noexcept { return entries_have_nan(entries_); }

namespace {

// The first eight key bytes as a big-endian number, zero-padded: unequal
// prefixes order two keys as their bytes do, so most comparisons of a long
// sort are one integer compare with no key read.
uint64_t key_prefix(std::string_view key) noexcept {
  uint64_t p = 0;
  const size_t n = std::min<size_t>(key.size(), 8);
  for (size_t i = 0; i < 8; ++i) p = p << 8 | (i < n ? static_cast<unsigned char>(key[i]) : 0u);
  return p;
}

// A long map (thousands of entries) sorted through (prefix, position)
// pairs; ties on the whole key fall back to the position, which keeps the
// order stable.
void sort_long(std::span<ParamEntryRef> entries) {
  struct Slot {
    uint64_t prefix;
    size_t at;
  };
  std::vector<Slot> slots(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) slots[i] = {key_prefix(entries[i].key), i};
  std::sort(slots.begin(), slots.end(), [&](const Slot& x, const Slot& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    const int c = entries[x.at].key.compare(entries[y.at].key);
    return c != 0 ? c < 0 : x.at < y.at;
  });
  std::vector<ParamEntryRef> sorted;
  sorted.reserve(entries.size());
  for (const Slot& s : slots) sorted.push_back(entries[s.at]);
  std::copy(sorted.begin(), sorted.end(), entries.begin());
}

}  // namespace

void sort_entries(std::span<ParamEntryRef> entries) {
  // Unsigned byte order (char_traits<char> compares as unsigned char), a
  // proper prefix first; stable so that duplicate keys keep their order.
  // Maps are short: an insertion sort is stable, allocates nothing and is
  // linear on already-sorted input.
  for (size_t i = 1; i < entries.size(); ++i) {
    if (!(entries[i].key < entries[i - 1].key)) continue;
    if (entries.size() > 16) {
      sort_long(entries);
      return;
    }
    ParamEntryRef moving = entries[i];
    size_t j = i;
    for (; j > 0 && moving.key < entries[j - 1].key; --j) entries[j] = entries[j - 1];
    entries[j] = moving;
  }
}

ParamMapView ParamMapBuilder::finish(std::string& out) {
  const size_t total = encoded_size(entries_);
  sort_entries(entries_);
  out.resize(total);
  encode_entries(entries_, out.data());
  return ParamMapView(out.data(), out.size());
}

ParamMap::ParamMap() : bytes_(kEmptyEncoding, sizeof kEmptyEncoding) {}

ParamMap ParamMap::make(std::vector<std::pair<std::string, ParamValue>> entries) {
  ParamMapBuilder builder;
  for (const auto& [key, value] : entries) builder.add(key, value.ref());
  std::string bytes;
  builder.finish(bytes);
  return ParamMap(std::move(bytes));
}

ParamMap ParamMap::adopt_encoded(std::string bytes) { return ParamMap(std::move(bytes)); }

}  // namespace nodalis::ir
