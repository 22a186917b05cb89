// Python <-> IR value conversions. The hot path (a short list of exact ints, a
// small dict of exact floats, ints and strs) allocates nothing beyond what the
// node key itself needs: the param buffers are per thread and reused.
#include "python/conversions.h"

#include <climits>
#include <cstring>

#include "python/payload_descriptor_type.h"
#include "python/py_ref.h"
#include "python/str_cache.h"

namespace nodalis::py {

// ---- arguments -------------------------------------------------------------

namespace {

// The pending exception as one normalised object (traceback attached).
PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

}  // namespace

bool argument_error(const char* param) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* cause = take_exception();
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", param, cause));
  PyRef error = message ? PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()))
                        : PyRef();
  if (!error) {
    Py_DECREF(cause);  // keep the error raised while building the new one
    return false;
  }
  PyException_SetCause(error.get(), cause);  // steals cause
  PyErr_SetObject(PyExc_TypeError, error.get());
  return false;
}

// ---- text ------------------------------------------------------------------

bool str_from_py(PyObject* o, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected str, not %.200s", Py_TYPE(o)->tp_name);
    return false;
  }
  // An ASCII str (nearly every name) is its own UTF-8: no call, no cache.
  if (PyUnicode_IS_ASCII(o)) {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                           size_t(PyUnicode_GET_LENGTH(o)));
    return true;
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &len);
  if (text == nullptr) return false;
  out = std::string_view(text, size_t(len));
  return true;
}

bool str_from_py(PyObject* o, std::string& out) {
  std::string_view view;
  if (!str_from_py(o, view)) return false;
  out.assign(view);
  return true;
}

bool str_arg(const char* param, PyObject* o, std::string_view& out) {
  return str_from_py(o, out) || argument_error(param);
}

PyObject* str_to_py(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

// ---- flags and bytes ----------------------------------------------------------

bool bool_arg(const char* param, PyObject* o, bool& out) {
  if (o == nullptr || o == Py_None) {
    out = false;
    return true;
  }
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected bool, not %.200s", Py_TYPE(o)->tp_name);
    return argument_error(param);
  }
  out = o == Py_True;
  return true;
}

bool bytes_arg(const char* param, PyObject* o, std::string_view& out) {
  if (!PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected bytes, not %.200s", Py_TYPE(o)->tp_name);
    return argument_error(param);
  }
  out = std::string_view(PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o)));
  return true;
}

// ---- node ids --------------------------------------------------------------

void NodeIds::spill(ir::NodeId id) {
  if (heap_.empty()) {
    heap_.reserve(2 * kInline);
    heap_.assign(inline_, inline_ + n_);
  }
  heap_.push_back(id);
}

namespace {

// The value of an exact int that fits one internal digit, read without a
// call (nearly every node id); false for any other int, which then takes
// PyLong_AsUnsignedLongLong with its range checks and errors.
inline bool small_id(PyObject* item, ir::NodeId& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  auto* v = reinterpret_cast<PyLongObject*>(item);
  if (!PyUnstable_Long_IsCompact(v)) return false;
  const Py_ssize_t value = PyUnstable_Long_CompactValue(v);
  if (value < 0) return false;
  out = static_cast<ir::NodeId>(value);
  return true;
#elif PY_VERSION_HEX >= 0x030B0000
  const Py_ssize_t size = Py_SIZE(item);  // digit count, negative for a negative int
  if (size != 0 && size != 1) return false;
  out = size == 0 ? 0 : static_cast<ir::NodeId>(reinterpret_cast<PyLongObject*>(item)->ob_digit[0]);
  return true;
#else
  (void)item;
  (void)out;
  return false;
#endif
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

}  // namespace

bool ids_from_py(PyObject* o, NodeIds& out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  // Exact lists and tuples of exact ints: no Python code can run, no copy.
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    PyObject** items = PySequence_Fast_ITEMS(o);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    Py_ssize_t i = 0;
    for (; i < n && PyLong_CheckExact(items[i]); ++i) {
      ir::NodeId id;
      if (!small_id(items[i], id)) {
        id = PyLong_AsUnsignedLongLong(items[i]);
        if (id == ~ir::NodeId{0} && PyErr_Occurred()) return false;
      }
      out.push(id);
    }
    if (i == n) return true;
    out.clear();  // an item needs __index__: start over on the general path
  }
  if (!PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence, not %.200s", Py_TYPE(o)->tp_name);
    return false;
  }
  PyRef seq = PyRef::steal(PySequence_Fast(o, "expected a sequence"));
  if (!seq) return false;
  // The size is read again at every step: an item's __index__ may shrink a list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    ir::NodeId id;
    if (!id_from_py(PySequence_Fast_GET_ITEM(seq.get(), i), id)) return false;
    out.push(id);
  }
  return true;
}

bool ids_arg(const char* param, PyObject* o, NodeIds& out) {
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

PyObject* ids_to_py(const ir::InputsView& ids) {
  PyRef list = PyRef::steal(PyList_New(Py_ssize_t(ids.size())));
  if (!list) return nullptr;
  for (uint32_t i = 0; i < ids.size(); ++i) {
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

// ---- parameter maps --------------------------------------------------------

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
  while (PyDict_Next(params, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key)) return false;
    std::string_view k(static_cast<const char*>(PyUnicode_DATA(key)),
                       size_t(PyUnicode_GET_LENGTH(key)));
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyFloat_Type) {
      add(k, ir::ParamRef::of_float(PyFloat_AS_DOUBLE(value)));
    } else if (type == &PyBool_Type) {
      add(k, ir::ParamRef::of_bool(value == Py_True));
    } else if (type == &PyLong_Type) {
      int overflow = 0;
      long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0) return false;
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
  if (PyDict_Check(params) && size_t(PyDict_GET_SIZE(params)) <= kSmall &&
      params_of_exact_types(params, [&](std::string_view k, const ir::ParamRef& v) {
        entries_[count_++] = {k, v};
      }))
    return true;
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

// ---- payload descriptors ---------------------------------------------------

namespace {

// Looks `field` up in the dict: a strong reference, or null when absent
// (check PyErr_Occurred).
PyRef dict_field(PyObject* dict, const char* field) {
  PyRef key = PyRef::steal(PyUnicode_InternFromString(field));
  if (!key) return {};
  return PyRef::borrow(PyDict_GetItemWithError(dict, key.get()));
}

}  // namespace

bool descriptor_from_py(PyObject* o, ir::PayloadDescriptor& out) {
  if (is_payload_descriptor(o)) {
    out = descriptor_of(o);
    return true;
  }
  if (!PyDict_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  PyRef pre = dict_field(o, "preprocessing_ref");
  if (!pre && PyErr_Occurred()) return false;
  if (pre && pre.get() != Py_None) {
    std::string text;
    if (!str_from_py(pre.get(), text)) return false;
    out.preprocessing_ref = std::move(text);
  } else {
    out.preprocessing_ref.reset();
  }
  static constexpr const char* kRequired[] = {"kind", "content_hash", "framework", "version",
                                               "io_schema"};
  std::string* fields[] = {&out.kind, &out.content_hash, &out.framework, &out.version,
                           &out.io_schema};
  for (int i = 0; i < 5; ++i) {
    PyRef value = dict_field(o, kRequired[i]);
    if (!value) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", kRequired[i]);
      return false;
    }
    if (!str_from_py(value.get(), *fields[i])) return false;
  }
  return true;
}

PyObject* descriptor_to_py(const ir::PayloadDescriptorView& d) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::string_view* texts[] = {&d.kind, &d.content_hash, &d.framework, &d.version,
                                     &d.io_schema};
  static constexpr const char* kKeys[] = {"kind", "content_hash", "framework", "version",
                                          "io_schema"};
  for (int i = 0; i < 5; ++i) {
    PyRef value = PyRef::steal(str_to_py(*texts[i]));
    if (!value || PyDict_SetItemString(dict.get(), kKeys[i], value.get()) < 0) return nullptr;
  }
  PyRef pre = d.preprocessing_ref ? PyRef::steal(str_to_py(*d.preprocessing_ref))
                                  : PyRef::borrow(Py_None);
  if (!pre || PyDict_SetItemString(dict.get(), "preprocessing_ref", pre.get()) < 0)
    return nullptr;
  return dict.release();
}

}  // namespace nodalis::py
