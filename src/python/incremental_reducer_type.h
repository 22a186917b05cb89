// The Python class IncrementalReducer: a frozen object that owns one reducer
// behind its mutex (opt::LockedReducer) and no reference to any store.
#pragma once

#include <Python.h>

namespace nodalis::py {

// Creates the class for `module` (a new reference), or null with an error set.
PyObject* make_incremental_reducer_type(PyObject* module);

}  // namespace nodalis::py
