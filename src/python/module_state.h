// The state each nodalis_core module object owns (one per interpreter that
// imports it), and how code holding only a receiver finds it: no Python object
// of the module is process-global, so sub-interpreters each get their own.
#pragma once

#include <Python.h>

namespace nodalis::py {

struct ModuleState {
  PyObject* panic_exception;  // strong reference
};

// The state of the module that defined `owner`: the module itself, one of its
// classes, or an instance of one. Null without an error set when `owner`
// belongs to no nodalis_core module.
ModuleState* module_state_of(PyObject* owner) noexcept;

}  // namespace nodalis::py
