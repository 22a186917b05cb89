// Reader: the decoder's cursor over an untrusted blob. Every read checks the
// bytes that remain before it touches them, and every count is consumed item
// by item against those bytes, so a count that claims more than the blob can
// hold ends in Truncated without reserving anything for it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/result.h"
#include "blob/decode_error.h"
#include "blob/record_shapes.h"
#include "blob/utf8.h"
#include "ir/node_key.h"
#include "ir/param_map.h"

namespace nodalis::blob {

// A map exactly as it stands in the blob, already checked entry by entry.
struct MapSpan {
  std::string_view bytes;  // u32 count and the entries
  // Keys already in order and every bool byte 0 or 1: the bytes can be kept
  // as they are. Otherwise they need canonicalize_params first.
  bool canonical = true;
  // Some float value is a NaN (keys with one compare on a slower path).
  bool has_nan = false;
};

// One node record that passed every check, as it stands in the blob, with
// the offsets and NaN flag found on the way (so the store need not walk it
// again).
struct CheckedRecord {
  ir::RecordView view;
  // Keys in order, bool and presence bytes 0/1: internable without rewriting.
  bool canonical = true;
};

static_assert(std::endian::native == std::endian::little, "the blob reader assumes a little-endian host");

class Reader {
 public:
  // The read position starts after the magic and the node count.
  static constexpr size_t kBodyStart = 8;
  explicit Reader(std::string_view bytes, size_t position = kBodyStart) noexcept
      : data_(bytes.data()), size_(bytes.size()), pos_(position <= bytes.size() ? position : bytes.size()) {}

  size_t position() const noexcept { return pos_; }
  size_t remaining() const noexcept { return size_ - pos_; }
  // The bytes from `from` up to the current position.
  std::string_view since(size_t from) const noexcept { return {data_ + from, pos_ - from}; }

  // Defined here so that the decoder's inner loops inline them.
  Result<uint8_t, DecodeError> u8() noexcept {
    if (remaining() < 1) return Err{DecodeError::truncated()};
    return static_cast<uint8_t>(data_[pos_++]);
  }
  Result<uint32_t, DecodeError> u32() noexcept {
    if (remaining() < 4) return Err{DecodeError::truncated()};
    uint32_t v;
    std::memcpy(&v, data_ + pos_, 4);
    pos_ += 4;
    return v;
  }
  Result<uint64_t, DecodeError> u64() noexcept {
    if (remaining() < 8) return Err{DecodeError::truncated()};
    uint64_t v;
    std::memcpy(&v, data_ + pos_, 8);
    pos_ += 8;
    return v;
  }

  // u32 length, then that many bytes of UTF-8. Truncated, InvalidUtf8.
  Result<std::string_view, DecodeError> string() noexcept {
    auto len = u32();
    if (!len) return Err{len.error()};
    if (remaining() < len.value()) return Err{DecodeError::truncated()};
    const char* p = data_ + pos_;
    pos_ += len.value();
    if (!valid_utf8(p, len.value())) return Err{DecodeError::invalid_utf8()};
    return std::string_view(p, len.value());
  }
  // One map, checked but left as it stands. Errors of string, Truncated,
  // InvalidTag(param).
  Result<MapSpan, DecodeError> map() noexcept;
  // One map built in key order with bool bytes made 0/1 (entries with equal
  // keys keep their blob order).
  Result<ir::ParamMap, DecodeError> params();
  // u32 count and that many u64 ids, each below `limit`, checked as soon as it
  // is read: Truncated, NodeRefOutOfRange(id). The view points into the blob.
  Result<ir::InputsView, DecodeError> inputs(uint64_t limit) noexcept;

  // Node record number `index` (its inputs may only name earlier records),
  // every field checked in layout order; the first failing check's error.
  Result<CheckedRecord, DecodeError> record(uint64_t index) noexcept;
  // The same for the records every encoder-written blob of a plain graph
  // holds, in one tight pass: a source, op, reduction or exchange with ASCII
  // texts and a canonical map. Anything else (another kind, other text, a
  // map to rewrite, any error) returns false with the cursor where it was,
  // for record() to decide: so this accepts only what record() accepts, as
  // record() would describe it, and never changes an error. A record with
  // the layout of one it accepted before is checked against that shape in
  // `shapes`, which notes the shape of each record taken the long way.
  // Inline, for the decoder's loop: most records take the shape check.
  bool plain_record(uint64_t index, ir::RecordView& out, RecordShapes& shapes) noexcept {
    const char* const begin = data_ + pos_;
    // The blob is read once, front to back, at a few dozen bytes per record:
    // asking for it well ahead keeps the checks from waiting on memory.
    __builtin_prefetch(begin + 1024);
    if (shapes.match(begin, data_ + size_, index, out)) {
      pos_ += out.bytes.size();
      return true;
    }
    return plain_record_walk(index, out, shapes);
  }
  // A stage's u32 member count and members, after its `input_count` inputs:
  // Truncated, InvalidTag(stage-ref), NodeRefOutOfRange(index).
  Result<Unit, DecodeError> members(uint32_t input_count) noexcept;

 private:
  // plain_record for a record of no known shape: every field in turn.
  bool plain_record_walk(uint64_t index, ir::RecordView& out, RecordShapes& shapes) noexcept;

  const char* data_;
  size_t size_;
  size_t pos_;
};

}  // namespace nodalis::blob
