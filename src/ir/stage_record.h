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
    if (inputs.size() > kMax32) too_large("input counts");
    if (members > kMax32) too_large("member counts");
    size_ = 0;
    char* p = extend(1 + 4 + 8 * inputs.size() + 4);
    *p++ = static_cast<char>(NodeKind::Stage);
    p = le::put_u32(p, static_cast<uint32_t>(inputs.size()));
    for (NodeId id : inputs) p = le::put_u64(p, id);
    le::put_u32(p, static_cast<uint32_t>(members));
  }
  // The next member: its token, then `arity` calls of ref.
  void member(std::string_view token, size_t arity) {
    if (token.size() > kMax32) too_large("string lengths");
    if (arity > kMax32) too_large("member arities");
    char* p = extend(4 + token.size() + 4 + kStageRefSize * arity);
    p = le::put_u32(p, static_cast<uint32_t>(token.size()));
    if (!token.empty()) std::memcpy(p, token.data(), token.size());
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
    return {std::string_view(data_, size_), detail::kNone, 1, false};
  }

 private:
  static constexpr uint64_t kMax32 = 0xFFFFFFFFull;
  static constexpr size_t kInline = 256;
  [[noreturn]] static void too_large(const char* what);
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
  std::unique_ptr<char[]> heap_;
  char inline_[kInline];
};

}  // namespace nodalis::ir
