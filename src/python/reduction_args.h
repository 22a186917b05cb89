// Conversions shared by the reduction methods of GraphStore and
// IncrementalReducer: the `outputs` list and the report dict.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "optimizer/reduced.h"
#include "optimizer/stage_fusion.h"
#include "optimizer/store_reduction.h"
#include "python/id_conversions.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {

// None or absent: no list (the store's marks apply). Otherwise a sequence of
// ids used exactly as given; a str is refused.
struct OutputsArg {
  bool given = false;
  NodeIds ids;
  std::optional<std::span<const uint64_t>> list() const {
    if (!given) return std::nullopt;
    return ids.span();
  }
};
bool outputs_arg(PyObject* o, OutputsArg& out);

// The maximal_fusion flag (bool_arg's rules) as the fusion rule it chooses.
bool fusion_arg(PyObject* maximal_fusion, opt::FusionRule& out);

// {"input_nodes": ..., ..., "boundary_nodes": ...}; callers index it by key.
PyObject* report_to_py(const opt::ReductionReport& report);

// What a reduction hands back to Python: (store, report), or with
// `with_outputs` (store, report, [the reduced id of each requested output]).
// The store object is of class `type`; null with an error set.
PyObject* reduction_to_py(PyTypeObject* type, opt::StoreReduction result, bool with_outputs);

}  // namespace nodalis::py
