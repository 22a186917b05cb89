// Text, flag and bytes conversions. An ASCII str is read in place, with no
// call: nearly every name and key is one.
#include "python/scalar_conversions.h"

#include "python/py_ref.h"

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

}  // namespace nodalis::py
