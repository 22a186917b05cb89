// DecodeError: why a byte string is not a well-formed IR blob. Decoding stops
// at the first failing check, and the display text is exactly the message the
// Python layer raises as ValueError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nodalis::blob {

// The field whose tag byte was not one the format knows.
enum class TagField : uint8_t { Node, Param, StageRef };

class DecodeError {
 public:
  enum class Kind : uint8_t { BadMagic, Truncated, InvalidTag, InvalidUtf8, NodeRefOutOfRange };

  static DecodeError bad_magic() noexcept { return {Kind::BadMagic, TagField::Node, 0}; }
  static DecodeError truncated() noexcept { return {Kind::Truncated, TagField::Node, 0}; }
  static DecodeError invalid_tag(TagField field, uint8_t tag) noexcept {
    return {Kind::InvalidTag, field, tag};
  }
  static DecodeError invalid_utf8() noexcept { return {Kind::InvalidUtf8, TagField::Node, 0}; }
  static DecodeError node_ref_out_of_range(uint64_t ref) noexcept {
    return {Kind::NodeRefOutOfRange, TagField::Node, ref};
  }

  Kind kind() const noexcept { return kind_; }
  // InvalidTag only.
  TagField field() const noexcept { return field_; }
  uint8_t tag() const noexcept { return static_cast<uint8_t>(value_); }
  // NodeRefOutOfRange only.
  uint64_t reference() const noexcept { return value_; }

  // "not a nodalis IR blob (bad magic/version)", "truncated nodalis IR blob",
  // "invalid node tag 9", "invalid utf-8 in nodalis IR blob",
  // "node reference 7 out of range".
  std::string display() const;

  friend bool operator==(const DecodeError&, const DecodeError&) = default;

 private:
  DecodeError(Kind kind, TagField field, uint64_t value) noexcept
      : kind_(kind), field_(field), value_(value) {}
  Kind kind_;
  TagField field_;
  uint64_t value_;
};

// "node", "param", "stage-ref".
std::string_view tag_field_name(TagField field) noexcept;

}  // namespace nodalis::blob
