// Module initialisation: PyInit_nodalis_core only hands back the definition;
// the single exec step creates the classes from their specs and registers them
// with the function `version` and the PanicException class.
#include <Python.h>

#include "python/call_boundary.h"
#include "python/graph_store_type.h"
#include "python/incremental_reducer_type.h"
#include "python/payload_descriptor_type.h"
#include "python/py_ref.h"

namespace nodalis::py {
namespace {

// The project's version, passed in by the build from pyproject.toml.
PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(NODALIS_VERSION); }

PyMethodDef version_def = {"version", version, METH_NOARGS, "version()\n--\n\n"};

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

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "nodalis_core",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace nodalis::py

PyMODINIT_FUNC PyInit_nodalis_core(void) { return PyModuleDef_Init(&nodalis::py::module_def); }
