// The reduction methods' argument conversions and their results.
#include "python/reduction_args.h"

#include <iterator>

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

namespace {

constexpr const char* kReportKeys[] = {"input_nodes",   "reachable_nodes", "canonical_nodes",
                                       "stages",        "reduced_nodes",   "boundary_nodes"};
constexpr size_t kReportKeyCount = std::size(kReportKeys);

// The report's keys, interned once by the first interpreter that asks and
// kept for the process; another interpreter makes its own on each call, since
// objects are not shared across interpreters. Null entries if interning failed.
// `shape` is a report with every key and None for each count: a copy of it
// is a dict already of its final size, so filling in the counts only replaces
// values, where inserting six keys into a new dict would also grow it once.
struct ReportKeys {
  PyInterpreterState* owner = nullptr;
  PyObject* keys[kReportKeyCount] = {};
  PyObject* shape = nullptr;
};

const ReportKeys& report_keys() {
  static const ReportKeys made = [] {
    ReportKeys k;
    k.owner = PyInterpreterState_Get();
    for (size_t i = 0; i < kReportKeyCount; ++i) {
      k.keys[i] = PyUnicode_InternFromString(kReportKeys[i]);
      if (k.keys[i] == nullptr) {
        PyErr_Clear();
        k.owner = nullptr;  // the slow path then reports the failure
        return k;
      }
    }
    k.shape = PyDict_New();
    for (size_t i = 0; k.shape != nullptr && i < kReportKeyCount; ++i) {
      if (PyDict_SetItem(k.shape, k.keys[i], Py_None) < 0) Py_CLEAR(k.shape);
    }
    if (k.shape == nullptr) PyErr_Clear();  // reports are then built key by key
    return k;
  }();
  return made;
}

}  // namespace

PyObject* report_to_py(const opt::ReductionReport& r) {
  const uint64_t counts[kReportKeyCount] = {r.input_nodes,     r.reachable_nodes, r.canonical_nodes,
                                            r.stages,          r.reduced_nodes,   r.boundary_nodes};
  const ReportKeys& cached = report_keys();
  const bool shared = cached.owner == PyInterpreterState_Get();
  PyRef dict = PyRef::steal(shared && cached.shape != nullptr ? PyDict_Copy(cached.shape) : PyDict_New());
  if (!dict) return nullptr;
  for (size_t i = 0; i < kReportKeyCount; ++i) {
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(counts[i]));
    if (!value) return nullptr;
    const int set = shared ? PyDict_SetItem(dict.get(), cached.keys[i], value.get())
                           : PyDict_SetItemString(dict.get(), kReportKeys[i], value.get());
    if (set < 0) return nullptr;
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
