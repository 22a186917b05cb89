// The calling layer every Python-facing method is entered through: it binds
// the arguments, runs the body, and turns any C++ exception into a Python
// exception, so that none ever unwinds into the interpreter.
#pragma once

#include <Python.h>

#include "python/arg_binder.h"

namespace nodalis::py {

// In every function below, `owner` is what the method was called on (an
// instance, a class of the module, or the module): the PanicException raised
// is the one of the module that defined it.

// Sets the Python exception for the C++ exception now being handled; call
// only from inside a catch block. CapacityError -> OverflowError,
// std::bad_alloc -> MemoryError, anything else -> PanicException.
void raise_current_exception(PyObject* owner) noexcept;

// Raises PanicException with `text` as its message.
void raise_panic(PyObject* owner, const char* text) noexcept;

// Creates the module's PanicException class, keeps it in the module's state
// and adds it to `module`. -1 with an error set on failure.
int add_panic_exception(PyObject* module) noexcept;

// Runs `body` (returning a new reference, or null with an error set) and
// translates whatever it throws.
template <class Body>
PyObject* guarded(PyObject* owner, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception(owner);
    return nullptr;
  }
}

// The entry of a METH_FASTCALL | METH_KEYWORDS method: binds, then runs
// `body(const BoundArgs&)` guarded.
template <class Body>
PyObject* bound_call(PyObject* owner, const Signature& sig, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  BoundArgs bound;
  if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
  return guarded(owner, [&] { return body(static_cast<const BoundArgs&>(bound)); });
}

// The same for tp_new-style callables (argument tuple and keyword dict).
template <class Body>
PyObject* bound_call(PyObject* owner, const Signature& sig, PyObject* args, PyObject* kwargs,
                     Body&& body) noexcept {
  BoundArgs bound;
  if (!bind(sig, args, kwargs, bound)) return nullptr;
  return guarded(owner, [&] { return body(static_cast<const BoundArgs&>(bound)); });
}

}  // namespace nodalis::py
