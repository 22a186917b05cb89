// RecordShapes: the shapes of records the reader recently accepted, so that
// a record laid out like one of them is checked by one masked comparison.
// A graph's records repeat a few shapes (the same kind, name, keys, tags and
// texts, the same counts), differing only in int and float payloads and
// input ids; those are all a check must still look at in such a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ir/node_key.h"

namespace nodalis::blob {

class RecordShapes {
 public:
  RecordShapes() noexcept = default;

  // When the record at [p, end) has the layout of a known shape (every byte
  // before its input list but its int and float payloads equal to that
  // shape's), its input list is there and each id is below `index`: true,
  // with `out` describing the record. Otherwise false (nothing is said
  // about the record).
  bool match(const char* p, const char* end, uint64_t index, ir::RecordView& out) noexcept {
    if (misses_ > kMaxMisses || end - p < static_cast<std::ptrdiff_t>(kPrefix)) return false;
    Shape* set = &shapes_[set_of(p) * kWays];
    for (size_t way = 0; way < kWays; ++way) {
      const Shape& s = set[way];
      if (s.prefix == 0 || !same_layout(p, s)) continue;
      if (misses_ > 0) --misses_;
      return take(p, end, s, index, out);
    }
    ++misses_;
    return false;
  }
  // Notes the shape of `record`, which the full checks accept as it stands
  // (a source, op, reduction or exchange, canonical, its texts ASCII), in a
  // buffer ending at `end`. Records whose bytes before the input list are
  // too many for a shape are left out.
  void learn(const ir::RecordView& record, const char* end) noexcept;

 private:
  // Bytes of a shape: a record's bytes before its input list, compared
  // four 16-byte chunks at a time (the bytes past the shape's end are read
  // too, but not compared).
  static constexpr size_t kPrefix = 64;
  static constexpr size_t kChunks = kPrefix / 16;
  static constexpr size_t kSets = 64;
  static constexpr size_t kWays = 2;
  static constexpr size_t kMaxFloats = 4;
  // Once records of no known shape outnumber the others by this many,
  // looking stops: the blob's records do not repeat, and learning them would
  // only cost time.
  static constexpr uint64_t kMaxMisses = 4096;
  typedef uint64_t Chunk __attribute__((vector_size(16)));

  struct Shape {
    Chunk bytes[kChunks];  // the record as learned
    Chunk keep[kChunks];   // 0xFF where every record of the shape has the same byte
    uint32_t prefix = 0;   // bytes before the input list (all of a source); 0: no shape
    uint32_t params_off;
    uint32_t inputs_off;   // = prefix, or kNone for a source
    uint32_t float_count;
    uint8_t floats[kMaxFloats];  // offsets of the float payloads
  };

  static size_t set_of(const char* p) noexcept {
    uint64_t a, b;
    __builtin_memcpy(&a, p, 8);
    __builtin_memcpy(&b, p + 8, 8);
    return static_cast<size_t>(((a ^ (b << 7 | b >> 57)) * 0x9E3779B97F4A7C15ull) >> 59);
  }
  static bool same_layout(const char* p, const Shape& s) noexcept {
    Chunk diff = {0, 0};
    for (size_t c = 0; c < kChunks; ++c) {
      Chunk v;
      __builtin_memcpy(&v, p + 16 * c, 16);
      diff |= (v ^ s.bytes[c]) & s.keep[c];
    }
    return (diff[0] | diff[1]) == 0;
  }
  // The record at p has shape s: its input list and NaN flag are what is
  // left to check.
  static bool take(const char* p, const char* end, const Shape& s, uint64_t index, ir::RecordView& out) noexcept {
    size_t size = s.prefix;
    if (s.inputs_off != ir::detail::kNone) {
      uint32_t count;
      __builtin_memcpy(&count, p + s.prefix, 4);
      const char* ids = p + s.prefix + 4;
      if (static_cast<size_t>(end - ids) / 8 < count) return false;
      bool in_range = true;
      for (uint32_t i = 0; i < count; ++i) {
        uint64_t id;
        __builtin_memcpy(&id, ids + 8 * static_cast<size_t>(i), 8);
        in_range &= id < index;
      }
      if (!in_range) return false;
      size += 4 + 8 * static_cast<size_t>(count);
    }
    bool has_nan = false;
    for (uint32_t f = 0; f < s.float_count; ++f) {
      uint64_t bits;
      __builtin_memcpy(&bits, p + s.floats[f], 8);
      // Exponent all ones and a non-zero fraction.
      has_nan |= (bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull;
    }
    out.bytes = std::string_view(p, size);
    out.params_off = s.params_off;
    out.inputs_off = s.inputs_off;
    out.has_nan = has_nan;
    return true;
  }

  static_assert(kSets * kWays <= 256);
  Shape shapes_[kSets * kWays];
  uint64_t misses_ = 0;
};

}  // namespace nodalis::blob
