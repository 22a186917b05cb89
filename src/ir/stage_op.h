// Members of a stage node: each holds the op token it came from and its
// arguments, which refer either to the stage's own inputs or to an earlier
// member of the same stage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nodalis::ir {

enum class StageRefKind : uint8_t { Input = 0, Member = 1 };

struct StageRef {
  StageRefKind kind = StageRefKind::Input;
  uint64_t index = 0;  // held in 32 bits inside a key; larger is a CapacityError

  static StageRef input(uint64_t i) { return {StageRefKind::Input, i}; }
  static StageRef member(uint64_t i) { return {StageRefKind::Member, i}; }
  friend bool operator==(const StageRef&, const StageRef&) = default;
};

struct StageOp {
  std::string token;
  std::vector<StageRef> inputs;
  friend bool operator==(const StageOp&, const StageOp&) = default;
};

// One member borrowed from an encoded stage key: the token, then `arity`
// references of 5 bytes each (u8 kind, u32 index) starting at `refs`.
class StageOpView {
 public:
  StageOpView(std::string_view token, const char* refs, uint32_t arity) noexcept
      : token_(token), refs_(refs), arity_(arity) {}
  std::string_view token() const noexcept { return token_; }
  uint32_t arity() const noexcept { return arity_; }
  StageRef ref(uint32_t i) const noexcept;  // i < arity()
  StageOp to_owned() const;

 private:
  std::string_view token_;
  const char* refs_;
  uint32_t arity_;
};

}  // namespace nodalis::ir
