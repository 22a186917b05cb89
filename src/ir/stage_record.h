// StageRecordWriter: the one writer of a stage node's record (kind tag, input
// list, then each member's token, arity and references). NodeKey::stage builds
// through it from owned members; stage fusion writes member by member straight
// from its engine graph, into one writer reused for every stage it emits.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "base/le_bytes.h"
#include "ir/node_key.h"
#include "ir/record_layout.h"
#include "ir/stage_op.h"

namespace nodalis::ir {

class StageRecordWriter {
 public:
  StageRecordWriter() noexcept : data_(inline_) {}
  StageRecordWriter(const StageRecordWriter&) = delete;
  StageRecordWriter& operator=(const StageRecordWriter&) = delete;

  // Starts the record of a stage with `inputs` and `members` members,
  // dropping whatever the writer held.
  void begin(std::span<const NodeId> inputs, size_t members) {
    if (fixed_) {
      fixed_ = false;
      data_ = heap_ ? heap_.get() : inline_;
      capacity_ = own_capacity_;
    }
    start(inputs, members);
  }
  // As begin, but the record goes to `at`, which has exactly `size` bytes
  // (the room of NodeKey::to_fill, sized by record_size): writing past them
  // is an internal fault, and filled() tells whether every one was written.
  void begin_at(char* at, size_t size, std::span<const NodeId> inputs, size_t members) {
    fixed_ = true;
    data_ = at;
    capacity_ = size;
    start(inputs, members);
  }
  bool filled() const noexcept { return size_ == capacity_; }  // after begin_at
  // Bytes of a member with a token of `token_size` bytes and `arity` refs,
  // and of a record with `inputs` inputs whose members take `member_bytes`.
  static constexpr size_t member_size(size_t token_size, size_t arity) noexcept {
    return 4 + token_size + 4 + kStageRefSize * arity;
  }
  static constexpr size_t record_size(size_t inputs, size_t member_bytes) noexcept {
    return 1 + 4 + 8 * inputs + 4 + member_bytes;
  }
  // Where a stage record's fields sit, as view() and NodeKey::to_fill take them.
  static constexpr uint32_t kParamsOff = detail::kNone;
  static constexpr uint32_t kInputsOff = 1;

  // The next member: its token, then `arity` calls of ref.
  void member(std::string_view token, size_t arity) {
    if (token.size() > kMax32) too_large("string lengths");
    if (arity > kMax32) too_large("member arities");
    char* p = extend(member_size(token.size(), arity));
    p = le::put_u32(p, static_cast<uint32_t>(token.size()));
    le::put_bytes(p, token.data(), token.size());
    refs_at_ = le::put_u32(p + token.size(), static_cast<uint32_t>(arity));
  }
  // Room for the refs was taken by member(); this only writes them.
  void ref(StageRefKind kind, uint32_t index) {
    char* p = refs_at_;
    *p = static_cast<char>(kind);
    le::put_u32(p + 1, index);
    refs_at_ = p + kStageRefSize;
  }
  // A whole record from owned members, whose reference indexes are checked
  // against the 32-bit field here.
  void write(std::span<const NodeId> inputs, std::span<const StageOp> members);

  // The record written since begin(); valid until the next begin().
  RecordView view() const {
    if (size_ > kMax32) too_large("records");
    return {std::string_view(data_, size_), kParamsOff, kInputsOff, false};
  }

 private:
  static constexpr uint64_t kMax32 = 0xFFFFFFFFull;
  static constexpr size_t kInline = 256;
  [[noreturn]] static void too_large(const char* what);
  // The kind tag, input list and member count: begin's and begin_at's part.
  void start(std::span<const NodeId> inputs, size_t members) {
    if (inputs.size() > kMax32) too_large("input counts");
    if (members > kMax32) too_large("member counts");
    size_ = 0;
    char* p = extend(record_size(inputs.size(), 0));
    *p++ = static_cast<char>(NodeKind::Stage);
    p = le::put_u32(p, static_cast<uint32_t>(inputs.size()));
    for (NodeId id : inputs) p = le::put_u64(p, id);
    le::put_u32(p, static_cast<uint32_t>(members));
  }
  // Room for n more bytes, at the returned pointer.
  char* extend(size_t n) {
    if (capacity_ - size_ < n) grow(n);
    char* at = data_ + size_;
    size_ += n;
    return at;
  }
  void grow(size_t n);  // keeps the bytes written so far

  char* data_;
  size_t size_ = 0;
  size_t capacity_ = kInline;
  char* refs_at_ = nullptr;
  bool fixed_ = false;                // writing at begin_at's room, not the own buffer
  size_t own_capacity_ = kInline;    // the own buffer's size
  std::unique_ptr<char[]> heap_;
  char inline_[kInline];
};

}  // namespace nodalis::ir
