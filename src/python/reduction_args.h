// Conversions shared by the reduction methods of GraphStore and
// IncrementalReducer: the `maximal_fusion` flag, the `outputs` list, the store
// argument, and the report dict.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "optimizer/reduced.h"
#include "python/conversions.h"

namespace nodalis::py {

// None or absent gives false; otherwise only a bool converts.
bool fusion_flag_arg(PyObject* o, bool& out);

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

// A GraphStore instance, or the argument error for `param`.
bool store_arg(const char* param, PyObject* o);

// {"input_nodes": ..., ..., "boundary_nodes": ...}; callers index it by key.
PyObject* report_to_py(const opt::ReductionReport& report);

}  // namespace nodalis::py
