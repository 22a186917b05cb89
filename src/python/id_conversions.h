// Node ids between Python and the IR: the lists that building and reduction
// methods take and return, and the error an unknown id raises.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "ir/bad_node_id.h"
#include "ir/node_key.h"
#include "python/object_lock.h"
#include "python/scalar_conversions.h"

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

  // The common inputs argument, read into an empty list without a call: an
  // exact list or tuple of at most kInline exact ints, each of one internal
  // digit and not negative. False (nothing read, nothing raised) for any
  // other, which ids_from_py then takes.
  bool read_compact(PyObject* o) noexcept {
    const bool list = PyList_CheckExact(o);
    if (!list && !PyTuple_CheckExact(o)) return false;
    // Without a GIL another thread may resize a list while it is read.
    ObjectLock lock(list ? o : nullptr);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    if (n > Py_ssize_t(kInline)) return false;
    PyObject** items = PySequence_Fast_ITEMS(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
      long long v;
      if (!PyLong_CheckExact(items[i]) || !compact_int(items[i], v) || v < 0) return false;
      inline_[i] = static_cast<ir::NodeId>(v);
    }
    n_ = size_t(n);
    return true;
  }

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
// ids_from_py with the argument prefix on a TypeError; `out` must be empty.
bool ids_arg_general(const char* param, PyObject* o, NodeIds& out);
inline bool ids_arg(const char* param, PyObject* o, NodeIds& out) {
  return out.read_compact(o) || ids_arg_general(param, o, out);
}

PyObject* id_to_py(ir::NodeId id);
PyObject* ids_to_py(std::span<const ir::NodeId> ids);

// ValueError "no node with id N"; returns null so that callers can
// `return raise_bad_node_id(r.error());`.
PyObject* raise_bad_node_id(const ir::BadNodeId& error);

}  // namespace nodalis::py
