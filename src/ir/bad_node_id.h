// BadNodeId: the error of every operation handed a node id that its store
// (or reducer) does not hold.
#pragma once

#include <cstdint>
#include <string>

namespace nodalis::ir {

struct BadNodeId {
  uint64_t id;
  // "BadNodeId(7)": the form used inside internal-fault texts.
  std::string debug() const { return "BadNodeId(" + std::to_string(id) + ")"; }
  friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

}  // namespace nodalis::ir
