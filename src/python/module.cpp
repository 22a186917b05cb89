// Module initialisation: PyInit_nodalis_core only hands back the definition;
// the single exec step creates the classes from their specs and registers them
// with the function `version` and the module's own PanicException class.
#include <Python.h>

#include "python/call_boundary.h"
#include "python/docstrings.h"
#include "python/graph_store_type.h"
#include "python/incremental_reducer_type.h"
#include "python/module_state.h"
#include "python/payload_descriptor_type.h"
#include "python/py_ref.h"

namespace nodalis::py {
namespace {

// The project's version, passed in by the build from pyproject.toml.
PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(NODALIS_VERSION); }

PyMethodDef version_def = {"version", version, METH_NOARGS, checked_doc("version", doc::version)};

// Adds `type` (a new reference, or null after a failure) under its bare name.
int add_type(PyObject* module, PyObject* type) {
  PyRef owned = PyRef::steal(type);
  if (!owned) return -1;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(owned.get()));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "nodalis_core: expected a module object");
    return -1;
  }
  if (add_type(module, make_graph_store_type(module)) < 0) return -1;
  if (add_type(module, make_payload_descriptor_type(module)) < 0) return -1;
  if (add_type(module, make_incremental_reducer_type(module)) < 0) return -1;
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return -1;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&version_def, module, name.get()));
  if (!function || PyModule_AddObject(module, "version", function.get()) < 0) return -1;
  (void)function.release();  // PyModule_AddObject took it
  return add_panic_exception(module);
}

ModuleState* state(PyObject* module) noexcept {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  if (ModuleState* s = state(module)) Py_VISIT(s->panic_exception);
  return 0;
}

int clear_module(PyObject* module) {
  if (ModuleState* s = state(module)) Py_CLEAR(s->panic_exception);
  return 0;
}

void free_module(void* module) { (void)clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // Every Python object the module makes lives in its state or its classes;
    // the C++ core's only shared table (symbols) has its own lock.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Stores and reducers lock themselves, and every read of a caller's list
    // or dict is made under that object's critical section or from a snapshot.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "nodalis_core",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleState* module_state_of(PyObject* owner) noexcept {
  if (owner == nullptr) return nullptr;
  PyObject* module = owner;
  if (!PyModule_Check(owner)) {
    PyTypeObject* type = PyType_Check(owner) ? reinterpret_cast<PyTypeObject*>(owner)
                                             : Py_TYPE(owner);
#if PY_VERSION_HEX >= 0x030B0000
    module = PyType_GetModuleByDef(type, &module_def);
#else
    // The classes cannot be subclassed, so a class's own module is the one.
    module = (type->tp_flags & Py_TPFLAGS_HEAPTYPE) ? PyType_GetModule(type) : nullptr;
#endif
    if (module == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
  }
  if (PyModule_GetDef(module) != &module_def) {
    PyErr_Clear();
    return nullptr;
  }
  return state(module);
}
}  // namespace nodalis::py

PyMODINIT_FUNC PyInit_nodalis_core(void) { return PyModuleDef_Init(&nodalis::py::module_def); }
