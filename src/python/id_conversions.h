// Node ids between Python and the IR: the lists that building and reduction
// methods take and return, and the error an unknown id raises.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "ir/bad_node_id.h"
#include "ir/node_key.h"

namespace nodalis::py {

// A list of node ids; short lists (nearly all of them) stay inline.
class NodeIds {
 public:
  void push(ir::NodeId id) {
    if (n_ < kInline && heap_.empty())
      inline_[n_++] = id;
    else
      spill(id);
  }
  void clear() noexcept {
    n_ = 0;
    heap_.clear();
  }
  size_t size() const noexcept { return heap_.empty() ? n_ : heap_.size(); }
  std::span<const ir::NodeId> span() const noexcept {
    return heap_.empty() ? std::span<const ir::NodeId>(inline_, n_)
                         : std::span<const ir::NodeId>(heap_);
  }
  std::vector<ir::NodeId> to_vector() const { return {span().begin(), span().end()}; }

 private:
  void spill(ir::NodeId id);
  static constexpr size_t kInline = 8;
  ir::NodeId inline_[kInline];
  size_t n_ = 0;
  std::vector<ir::NodeId> heap_;
};

// Any sequence but a str, of ints in [0, 2^64) or objects with __index__.
// TypeError "Can't extract `str` to `Vec`" for a str, TypeError for a
// non-sequence or a non-integer item, OverflowError for an id out of range.
bool ids_from_py(PyObject* o, NodeIds& out);
// ids_from_py with the argument prefix on a TypeError.
bool ids_arg(const char* param, PyObject* o, NodeIds& out);

PyObject* id_to_py(ir::NodeId id);
PyObject* ids_to_py(std::span<const ir::NodeId> ids);

// ValueError "no node with id N"; returns null so that callers can
// `return raise_bad_node_id(r.error());`.
PyObject* raise_bad_node_id(const ir::BadNodeId& error);

}  // namespace nodalis::py
