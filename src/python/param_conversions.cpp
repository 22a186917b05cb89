// Parameter map conversions. A small dict of exact floats, ints and strs
// allocates nothing: the param buffers are per thread and reused.
#include "python/param_conversions.h"

#include <string>
#include <vector>

#include "python/py_ref.h"
#include "python/scalar_conversions.h"
#include "python/str_cache.h"

namespace nodalis::py {

struct ParamScratch::Buffers {
  ir::ParamMapBuilder builder;
  std::string encoded;
  std::vector<PyObject*> held;  // strong references
  bool lent = false;
};

namespace {
thread_local ParamScratch::Buffers thread_buffers;
}  // namespace

ParamScratch::ParamScratch() noexcept = default;

ParamScratch::Buffers& ParamScratch::buffers() {
  if (buffers_ == nullptr) {
    buffers_ = &thread_buffers;
    if (buffers_->lent) {
      own_ = std::make_unique<Buffers>();
      buffers_ = own_.get();
    }
    buffers_->lent = true;
  }
  return *buffers_;
}

bool ParamScratch::has_nan() const noexcept {
  return buffers_ != nullptr && buffers_->builder.has_nan();
}

ParamScratch::~ParamScratch() {
  if (buffers_ == nullptr) return;
  for (PyObject* o : buffers_->held) Py_DECREF(o);
  buffers_->held.clear();
  buffers_->builder.clear();
  // A huge map once must not pin its buffer for the thread's lifetime.
  if (buffers_->encoded.capacity() > (size_t{1} << 16)) std::string().swap(buffers_->encoded);
  if (buffers_->held.capacity() > 4096) std::vector<PyObject*>().swap(buffers_->held);
  buffers_->lent = false;
}

namespace {

// After a failed attempt: true (error cleared) when the next conversion may be
// tried; false for errors that must not be swallowed (KeyboardInterrupt,
// MemoryError, PanicException, ...).
bool may_try_next() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
    return false;
  PyErr_Clear();
  return true;
}

bool values_error() {
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

// First of bool (exact type), signed 64-bit int, float, str that converts.
bool param_value_from_py(PyObject* v, ir::ParamRef& out) {
  if (Py_IS_TYPE(v, &PyBool_Type)) {
    out = ir::ParamRef::of_bool(v == Py_True);
    return true;
  }
  // Exact builtin types run no Python code and skip the failing attempts.
  if (PyFloat_CheckExact(v)) {
    out = ir::ParamRef::of_float(PyFloat_AS_DOUBLE(v));
    return true;
  }
  bool exact_str = PyUnicode_CheckExact(v);
  if (!exact_str) {
    PyRef index = PyLong_CheckExact(v) ? PyRef::borrow(v) : PyRef::steal(PyNumber_Index(v));
    if (index) {
      int overflow = 0;
      long long i = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (i == -1 && PyErr_Occurred()) {
        if (!may_try_next()) return false;
      } else if (overflow == 0) {
        out = ir::ParamRef::of_int(i);
        return true;
      }
    } else if (!may_try_next()) {
      return false;
    }
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
      if (!may_try_next()) return false;
    } else {
      out = ir::ParamRef::of_float(d);
      return true;
    }
  }
  if (exact_str || PyUnicode_Check(v)) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(v, &len);
    if (text != nullptr) {
      out = ir::ParamRef::of_str(std::string_view(text, size_t(len)));
      return true;
    }
    if (!may_try_next()) return false;  // not encodable: not an accepted str
  }
  return values_error();
}

}  // namespace

namespace {

// The common case: str keys and values of exact builtin types. Converting them
// runs no Python code, so the dict cannot change meanwhile and `add` may
// borrow the text without holding references. False (nothing raised) as soon
// as an entry needs the general path.
template <class Add>
bool params_of_exact_types(PyObject* params, Add&& add) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  // As many entries as the dict holds, and no call past the last one: the
  // dict cannot change meanwhile.
  for (Py_ssize_t left = PyDict_GET_SIZE(params); left > 0; --left) {
    if (!PyDict_Next(params, &pos, &key, &value)) [[unlikely]] break;
    if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key)) return false;
    std::string_view k(static_cast<const char*>(PyUnicode_DATA(key)),
                       size_t(PyUnicode_GET_LENGTH(key)));
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyFloat_Type) {
      add(k, ir::ParamRef::of_float(PyFloat_AS_DOUBLE(value)));
    } else if (type == &PyBool_Type) {
      add(k, ir::ParamRef::of_bool(value == Py_True));
    } else if (type == &PyLong_Type) {
      long long i;
      if (!compact_int(value, i)) {
        int overflow = 0;
        i = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) return false;
      }
      add(k, ir::ParamRef::of_int(i));
    } else if (type == &PyUnicode_Type && PyUnicode_IS_ASCII(value)) {
      add(k, ir::ParamRef::of_str(std::string_view(
                         static_cast<const char*>(PyUnicode_DATA(value)),
                         size_t(PyUnicode_GET_LENGTH(value)))));
    } else {
      return false;
    }
  }
  return true;
}

// Distinct dict keys have distinct texts unless a str subclass redefines
// equality; a map must never hold one key twice, so such a dict is refused.
bool no_repeated_key(ir::ParamMapView sorted) {
  std::string_view last;
  bool first = true;
  for (const ir::ParamEntryRef e : sorted) {
    if (!first && e.key == last) {
      PyRef key = PyRef::steal(str_to_py(e.key));
      if (key) PyErr_Format(PyExc_ValueError, "params has the key %R more than once", key.get());
      return false;
    }
    first = false;
    last = e.key;
  }
  return true;
}

}  // namespace

bool params_from_py(PyObject* params, ParamScratch& scratch, ir::ParamMapView& out) {
  if (params == nullptr || params == Py_None) {
    out = ir::ParamMapView();
    return true;
  }
  if (!PyDict_Check(params)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  if (PyDict_GET_SIZE(params) == 0) {
    out = ir::ParamMapView();
    return true;
  }
  ParamScratch::Buffers& buf = scratch.buffers();
  buf.builder.clear();
  if (params_of_exact_types(params, [&](std::string_view k, const ir::ParamRef& v) {
        buf.builder.add(k, v);
      })) {
    out = buf.builder.finish(buf.encoded);
    return true;
  }
  buf.builder.clear();
  // A value's __index__ or __float__ may run any code, the dict's own
  // mutation included, and the builder borrows the text of keys and values:
  // so the items are taken first, all at once (nothing runs meanwhile), and
  // held until the map is encoded. The map is the dict as it was then.
  const size_t size = size_t(PyDict_GET_SIZE(params));
  const size_t start = buf.held.size();
  buf.held.reserve(start + 2 * size);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(params, &pos, &key, &value)) {
    buf.held.push_back(new_ref(key));
    buf.held.push_back(new_ref(value));
  }
  for (size_t i = start; i < buf.held.size(); i += 2) {
    std::string_view k;
    if (!str_from_py(buf.held[i], k)) return false;
    ir::ParamRef v;
    if (!param_value_from_py(buf.held[i + 1], v)) return false;
    buf.builder.add(k, v);
  }
  out = buf.builder.finish(buf.encoded);
  return no_repeated_key(out);
}

bool RecordParams::convert(PyObject* params) {
  count_ = 0;
  if (params == nullptr || params == Py_None) return true;
  if (PyDict_Check(params)) {
    // Held until the record is written: the entries borrow the dict's text.
    lock_.emplace(params);
    if (size_t(PyDict_GET_SIZE(params)) <= kSmall &&
        params_of_exact_types(params, [&](std::string_view k, const ir::ParamRef& v) {
          entries_[count_++] = {k, v};
        }))
      return true;
  }
  small_ = false;
  return params_from_py(params, scratch_.emplace(), view_);
}

namespace {

PyObject* param_to_py(const ir::ParamRef& v, StrCache* strs) {
  switch (v.tag) {
    case ir::ParamTag::Int:
      return PyLong_FromLongLong(v.i);
    case ir::ParamTag::Float:
      return PyFloat_FromDouble(v.f());
    case ir::ParamTag::Bool:
      return PyBool_FromLong(v.b);
    case ir::ParamTag::Str:
      return strs ? strs->get(v.str) : str_to_py(v.str);
  }
  PyErr_SetString(PyExc_SystemError, "parameter value of unknown type");
  return nullptr;
}

}  // namespace

PyObject* params_to_py(ir::ParamMapView map, StrCache* strs) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const ir::ParamEntryRef& entry : map) {
    PyRef key = PyRef::steal(strs ? strs->get(entry.key) : str_to_py(entry.key));
    if (!key) return nullptr;
    PyRef value = PyRef::steal(param_to_py(entry.value, strs));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace nodalis::py
