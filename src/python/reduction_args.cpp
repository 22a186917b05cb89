// The reduction methods' argument conversions and their report dict.
#include "python/reduction_args.h"

#include "python/graph_store_type.h"
#include "python/py_ref.h"

namespace nodalis::py {

bool fusion_flag_arg(PyObject* o, bool& out) {
  if (o == nullptr || o == Py_None) {
    out = false;
    return true;
  }
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyBool'",
                 Py_TYPE(o)->tp_name);
    return argument_error("maximal_fusion");
  }
  out = o == Py_True;
  return true;
}

bool outputs_arg(PyObject* o, OutputsArg& out) {
  out.given = o != nullptr && o != Py_None;
  return !out.given || ids_arg("outputs", o, out.ids);
}

bool store_arg(const char* param, PyObject* o) {
  if (is_graph_store(o)) return true;
  PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'GraphStore'",
               Py_TYPE(o)->tp_name);
  return argument_error(param);
}

PyObject* report_to_py(const opt::ReductionReport& r) {
  const std::pair<const char*, uint64_t> entries[] = {
      {"input_nodes", r.input_nodes},         {"reachable_nodes", r.reachable_nodes},
      {"canonical_nodes", r.canonical_nodes}, {"stages", r.stages},
      {"reduced_nodes", r.reduced_nodes},     {"boundary_nodes", r.boundary_nodes},
  };
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, count] : entries) {
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace nodalis::py
