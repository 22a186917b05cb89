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
    uint32_t count_at;     // = prefix, or 0 for a source
    uint32_t count_mask;   // all ones, or 0 for a source
    uint32_t float_count;
    uint8_t floats[kMaxFloats];  // offsets of the float payloads (0 past float_count)
  };

  static size_t set_of(const char* p) noexcept {
    uint64_t a, b;
    __builtin_memcpy(&a, p, 8);
    __builtin_memcpy(&b, p + 8, 8);
    return static_cast<size_t>(((a ^ (b << 7 | b >> 57)) * 0x9E3779B97F4A7C15ull) >> 58);
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
  // left to check. The usual record (at most two inputs, at most one float)
  // takes no branch that depends on it: the branches a loop over its ids or
  // floats would take mispredict on about every other record of a mixed
  // graph, and cost more than the checks themselves.
  static bool take(const char* p, const char* end, const Shape& s, uint64_t index, ir::RecordView& out) noexcept {
    // A source reads some count and drops it: `count_at` is then 0.
    uint32_t count;
    __builtin_memcpy(&count, p + s.count_at, 4);
    count &= s.count_mask;
    const char* ids = p + s.count_at + 4;
    bool in_range;
    if (count <= 2) [[likely]] {
      if (static_cast<size_t>(end - ids) < 8 * size_t{count}) return false;
      // Ids that are not there are read from the record's first bytes and
      // not looked at.
      const uint64_t id0_at = (ids - p) & (0 - uint64_t{count >= 1});
      const uint64_t id1_at = (ids + 8 - p) & (0 - uint64_t{count >= 2});
      uint64_t id0, id1;
      __builtin_memcpy(&id0, p + id0_at, 8);
      __builtin_memcpy(&id1, p + id1_at, 8);
      in_range = ((count < 1) | (id0 < index)) & ((count < 2) | (id1 < index));
    } else {
      if (static_cast<size_t>(end - ids) / 8 < count) return false;
      in_range = true;
      for (uint32_t i = 0; i < count; ++i) {
        uint64_t id;
        __builtin_memcpy(&id, ids + 8 * static_cast<size_t>(i), 8);
        in_range &= id < index;
      }
    }
    if (!in_range) return false;
    uint64_t bits;
    __builtin_memcpy(&bits, p + s.floats[0], 8);
    // Exponent all ones and a non-zero fraction.
    bool has_nan = (s.float_count > 0) & ((bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull);
    for (uint32_t f = 1; f < s.float_count; ++f) {
      __builtin_memcpy(&bits, p + s.floats[f], 8);
      has_nan |= (bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull;
    }
    out.bytes = std::string_view(p, s.prefix + (s.count_mask & (4 + 8 * count)));
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
