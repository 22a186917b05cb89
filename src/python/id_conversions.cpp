// Node id conversions. A short exact list of small exact ints (nearly every
// inputs argument) is read without a call and without a copy.
#include "python/id_conversions.h"

#include <climits>

#include "python/object_lock.h"
#include "python/py_ref.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {

void NodeIds::spill(ir::NodeId id) {
  if (heap_.empty()) {
    heap_.reserve(2 * kInline);
    heap_.assign(inline_, inline_ + n_);
  }
  heap_.push_back(id);
}

namespace {

// The value of an exact int of one internal digit and not negative, read
// without a call (nearly every node id); false for any other int, which then
// takes PyLong_AsUnsignedLongLong with its range checks and errors.
inline bool small_id(PyObject* item, ir::NodeId& out) noexcept {
  long long value;
  if (!compact_int(item, value) || value < 0) return false;
  out = static_cast<ir::NodeId>(value);
  return true;
}

bool id_from_py(PyObject* item, ir::NodeId& out) {
  if (PyLong_CheckExact(item)) {
    out = PyLong_AsUnsignedLongLong(item);
    return !(out == ~ir::NodeId{0} && PyErr_Occurred());
  }
  // __index__ may run any code, the item's last owner letting go of it included.
  PyRef held = PyRef::borrow(item);
  PyRef index = PyRef::steal(PyNumber_Index(held.get()));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == ~ir::NodeId{0} && PyErr_Occurred());
}

// An exact list or tuple whose items are all exact ints: 1 when read, 0 when
// an item needs __index__ (what was read is left in `out`), -1 on an error.
int exact_ids(PyObject* o, NodeIds& out) {
  PyObject** items = PySequence_Fast_ITEMS(o);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyLong_CheckExact(items[i])) return 0;
    ir::NodeId id;
    if (!small_id(items[i], id)) {
      id = PyLong_AsUnsignedLongLong(items[i]);
      if (id == ~ir::NodeId{0} && PyErr_Occurred()) return -1;
    }
    out.push(id);
  }
  return 1;
}

}  // namespace

bool ids_from_py(PyObject* o, NodeIds& out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  // Exact lists and tuples of exact ints: no Python code can run, no copy.
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    int read;
    {
      // Without a GIL another thread may resize a list while it is read.
      ObjectLock lock(PyList_CheckExact(o) ? o : nullptr);
      read = exact_ids(o, out);
    }
    if (read != 0) return read > 0;
    out.clear();  // an item needs __index__: start over on the general path
  }
  if (!PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence, not %.200s", Py_TYPE(o)->tp_name);
    return false;
  }
  // A list is read from a copy taken at once: an item's __index__, or another
  // thread, may change it meanwhile, and the node gets the list as it was.
  PyRef seq = PyRef::steal(PyList_Check(o) ? PyList_AsTuple(o)
                                           : PySequence_Fast(o, "expected a sequence"));
  if (!seq) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    ir::NodeId id;
    if (!id_from_py(PySequence_Fast_GET_ITEM(seq.get(), i), id)) return false;
    out.push(id);
  }
  return true;
}

bool ids_arg_general(const char* param, PyObject* o, NodeIds& out) {
  return ids_from_py(o, out) || argument_error(param);
}

PyObject* id_to_py(ir::NodeId id) {
  // PyLong_FromLong makes a one-digit int without a digit loop.
  if (id <= ir::NodeId(LONG_MAX)) return PyLong_FromLong(long(id));
  return PyLong_FromUnsignedLongLong(id);
}

PyObject* ids_to_py(std::span<const ir::NodeId> ids) {
  PyRef list = PyRef::steal(PyList_New(Py_ssize_t(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = id_to_py(ids[i]);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), id);
  }
  return list.release();
}

PyObject* raise_bad_node_id(const ir::BadNodeId& error) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu",
               static_cast<unsigned long long>(error.id));
  return nullptr;
}

}  // namespace nodalis::py
