// The reduction methods' argument conversions and their results.
#include "python/reduction_args.h"

#include "python/graph_store_type.h"
#include "python/py_ref.h"

namespace nodalis::py {

bool outputs_arg(PyObject* o, OutputsArg& out) {
  out.given = o != nullptr && o != Py_None;
  return !out.given || ids_arg("outputs", o, out.ids);
}

bool fusion_arg(PyObject* maximal_fusion, opt::FusionRule& out) {
  bool fan_out = false;
  if (!bool_arg("maximal_fusion", maximal_fusion, fan_out)) return false;
  out = fan_out ? opt::FusionRule::FanOut : opt::FusionRule::SingleUse;
  return true;
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

PyObject* reduction_to_py(PyTypeObject* type, opt::StoreReduction result, bool with_outputs) {
  PyRef report = PyRef::steal(report_to_py(result.report));
  if (!report) return nullptr;
  PyRef outputs;
  if (with_outputs) {
    outputs = PyRef::steal(ids_to_py(result.outputs));
    if (!outputs) return nullptr;
  }
  PyRef store = PyRef::steal(wrap_store(type, std::move(result.store)));
  if (!store) return nullptr;
  if (!with_outputs) return PyTuple_Pack(2, store.get(), report.get());
  return PyTuple_Pack(3, store.get(), report.get(), outputs.get());
}

}  // namespace nodalis::py
