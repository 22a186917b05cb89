// GraphStore.reduce, reduce_plan, reduce_incremental and reduction_report.
// Each converts its arguments, reduces a copy of the store with the shared
// SaturationEngine, and only then builds the result objects; the store is
// never changed.
#include "optimizer/saturation_engine.h"
#include "optimizer/store_reduction.h"
#include "python/call_boundary.h"
#include "python/graph_store_type.h"
#include "python/reduction_args.h"

namespace nodalis::py {
namespace {

constexpr Signature kReduce = method_signature<doc::graph_store::reduce>;
constexpr Signature kReducePlan = method_signature<doc::graph_store::reduce_plan>;
constexpr Signature kReduceIncremental = method_signature<doc::graph_store::reduce_incremental>;
constexpr Signature kReductionReport = method_signature<doc::graph_store::reduction_report>;

// The reduction all three methods share; null with an error set on failure.
std::optional<opt::StoreReduction> reduce(PyObject* self, const OutputsArg& outputs,
                                          opt::FusionRule fusion) {
  const opt::SaturationEngine& engine = opt::SaturationEngine::shared();
  auto reduced = opt::reduce_to_new_store(store_of(self), outputs.list(), engine, fusion);
  if (!reduced) {
    raise_bad_node_id(reduced.error());
    return std::nullopt;
  }
  return std::move(reduced).value();
}

PyObject* store_and_report(PyObject* self, opt::StoreReduction result) {
  return reduction_to_py(Py_TYPE(self), std::move(result), false);
}

// reduce and reduce_plan: the same call, told apart by what they return.
PyObject* reduce_call(const Signature& sig, bool with_outputs, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound_call(self, sig, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    opt::FusionRule fusion;
    if (!fusion_arg(a[0], fusion)) return nullptr;
    OutputsArg outputs;
    if (!outputs_arg(a[1], outputs)) return nullptr;
    auto result = reduce(self, outputs, fusion);
    if (!result) return nullptr;
    return reduction_to_py(Py_TYPE(self), std::move(*result), with_outputs);
  });
}

}  // namespace

PyObject* graph_store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return reduce_call(kReduce, false, self, args, nargs, kwnames);
}

PyObject* graph_store_reduce_plan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return reduce_call(kReducePlan, true, self, args, nargs, kwnames);
}

PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return bound_call(self, kReduceIncremental, args, nargs, kwnames,
                    [&](const BoundArgs& a) -> PyObject* {
    OutputsArg outputs;
    if (!outputs_arg(a[0], outputs)) return nullptr;
    auto result = reduce(self, outputs, opt::FusionRule::SingleUse);
    if (!result) return nullptr;
    return store_and_report(self, std::move(*result));
  });
}

PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return bound_call(self, kReductionReport, args, nargs, kwnames,
                    [&](const BoundArgs& a) -> PyObject* {
    OutputsArg outputs;
    if (!outputs_arg(a[0], outputs)) return nullptr;
    auto result = reduce(self, outputs, opt::FusionRule::SingleUse);
    if (!result) return nullptr;
    return report_to_py(result->report);
  });
}

}  // namespace nodalis::py
