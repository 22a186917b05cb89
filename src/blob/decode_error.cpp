// Display texts of DecodeError; these are the messages Python callers see, so
// they must not drift.
#include "blob/decode_error.h"

namespace nodalis::blob {

std::string_view tag_field_name(TagField field) noexcept {
  switch (field) {
    case TagField::Node: return "node";
    case TagField::Param: return "param";
    case TagField::StageRef: return "stage-ref";
  }
  return "node";
}

std::string DecodeError::display() const {
  switch (kind_) {
    case Kind::BadMagic:
      return "not a nodalis IR blob (bad magic/version)";
    case Kind::Truncated:
      return "truncated nodalis IR blob";
    case Kind::InvalidTag: {
      std::string out = "invalid ";
      out += tag_field_name(field_);
      out += " tag ";
      out += std::to_string(static_cast<unsigned>(tag()));
      return out;
    }
    case Kind::InvalidUtf8:
      return "invalid utf-8 in nodalis IR blob";
    case Kind::NodeRefOutOfRange:
      return "node reference " + std::to_string(value_) + " out of range";
  }
  return "truncated nodalis IR blob";
}

}  // namespace nodalis::blob
