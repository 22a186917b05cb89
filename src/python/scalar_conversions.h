// The simplest conversions every method shares: text, flags and bytes, and
// the "argument '<param>': ..." prefix a failed argument conversion carries.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace nodalis::py {

// ---- arguments -------------------------------------------------------------

// If the pending error is a TypeError, replaces it by a TypeError
// "argument '<param>': <message>" caused by the original; any other error is
// left as it is. Always returns false, so a failed conversion can end with
// `return argument_error("inputs");`.
bool argument_error(const char* param) noexcept;

// ---- text ------------------------------------------------------------------

// The UTF-8 text of a str (or str subclass), borrowed from the object: valid
// while the object lives. TypeError "expected str, not int" for a non-str,
// UnicodeEncodeError for an unpaired surrogate.
bool str_from_py(PyObject* o, std::string_view& out);
bool str_from_py(PyObject* o, std::string& out);
// str_from_py with the argument prefix on a TypeError.
bool str_arg(const char* param, PyObject* o, std::string_view& out);

// A new str from UTF-8 text held by the IR.
PyObject* str_to_py(std::string_view text);

// ---- ints --------------------------------------------------------------------

// The value of an int (exact or not) that the interpreter holds in one
// internal digit, read without a call (nearly every node id and int
// parameter); false for any other, which then takes the general conversion
// with its range checks and errors.
inline bool compact_int(PyObject* o, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  auto* v = reinterpret_cast<PyLongObject*>(o);
  if (!PyUnstable_Long_IsCompact(v)) return false;
  out = static_cast<long long>(PyUnstable_Long_CompactValue(v));
  return true;
#elif PY_VERSION_HEX >= 0x030B0000
  const Py_ssize_t size = Py_SIZE(o);  // digit count, negative for a negative int
  if (size < -1 || size > 1) return false;
  // A zero may have no digit allocated: it is not read.
  out = size == 0 ? 0 : static_cast<long long>(size) * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
  return true;
#else
  (void)o;
  (void)out;
  return false;
#endif
}

// ---- flags and bytes ----------------------------------------------------------

// A flag such as maximal_fusion: absent or None is false, otherwise only a
// bool is accepted; TypeError "argument '<param>': expected bool, not int".
bool bool_arg(const char* param, PyObject* o, bool& out);
// A bytes object (or subclass), borrowed: valid while `o` lives; TypeError
// "argument '<param>': expected bytes, not bytearray" otherwise.
bool bytes_arg(const char* param, PyObject* o, std::string_view& out);

}  // namespace nodalis::py
