// StageRecordWriter: stage fusion's way of writing a stage node's record
// straight from the engine graph, member by member, into one buffer reused
// for every stage of a reduction. Building a list of owned members first (a
// token string and a ref list each) and then the key from them cost more
// than the rest of fusion together.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "base/le_bytes.h"
#include "ir/node_key.h"
#include "ir/record_layout.h"
#include "optimizer/scratch_vector.h"

namespace nodalis::opt {

class StageRecordWriter {
 public:
  // Starts the record of a stage with `inputs` and `members` members.
  void begin(std::span<const ir::NodeId> inputs, size_t members) {
    if (inputs.size() > kMax32) too_large("input counts");
    if (members > kMax32) too_large("member counts");
    size_ = 0;
    char* p = extend(1 + 4 + 8 * inputs.size() + 4);
    *p++ = static_cast<char>(ir::NodeKind::Stage);
    p = le::put_u32(p, static_cast<uint32_t>(inputs.size()));
    for (ir::NodeId id : inputs) p = le::put_u64(p, id);
    le::put_u32(p, static_cast<uint32_t>(members));
  }
  // The next member: its token, then `arity` calls of ref.
  void member(std::string_view token, size_t arity) {
    if (token.size() > kMax32) too_large("string lengths");
    if (arity > kMax32) too_large("member arities");
    char* p = extend(4 + token.size() + 4 + ir::kStageRefSize * arity);
    p = le::put_u32(p, static_cast<uint32_t>(token.size()));
    std::memcpy(p, token.data(), token.size());
    refs_at_ = le::put_u32(p + token.size(), static_cast<uint32_t>(arity));
  }
  // Room for the refs was taken by member(); this only writes them.
  void ref(ir::StageRefKind kind, uint32_t index) {
    char* p = refs_at_;
    *p = static_cast<char>(kind);
    le::put_u32(p + 1, index);
    refs_at_ = p + ir::kStageRefSize;
  }
  // The record written since begin(); valid until the next begin().
  ir::RecordView view() const {
    if (size_ > kMax32) too_large("records");
    return {std::string_view(buf_.data(), size_), ir::detail::kNone, 1, false};
  }

 private:
  static constexpr uint64_t kMax32 = 0xFFFFFFFFull;
  [[noreturn]] static void too_large(const char* what);
  // Room for n more bytes, at the returned pointer.
  char* extend(size_t n) {
    if (buf_.size() - size_ < n) grow(n);
    char* at = buf_.data() + size_;
    size_ += n;
    return at;
  }
  void grow(size_t n);

  ScratchVector<char> buf_;
  size_t size_ = 0;
  char* refs_at_ = nullptr;
};

}  // namespace nodalis::opt
