// The GraphStore building methods and the two small queries. Each converts its
// arguments in signature order, builds the node key and interns it: the store
// is touched only by that final intern, so a failed call changes nothing.
#include <span>
#include <string_view>

#include "python/call_boundary.h"
#include "python/conversions.h"
#include "python/graph_store_type.h"
#include "python/py_ref.h"

namespace nodalis::py {
namespace {

constexpr const char* kNameParams[] = {"name", "params"};
constexpr const char* kNameInputsParams[] = {"name", "inputs", "params"};
constexpr const char* kDescriptorInputsParams[] = {"descriptor", "inputs", "params"};
constexpr const char* kInputsParams[] = {"inputs", "params"};

constexpr Signature kAddSource = positional_signature("GraphStore.add_source", kNameParams, 1);
constexpr Signature kAddOp = positional_signature("GraphStore.add_op", kNameInputsParams, 2);
constexpr Signature kAddReduction =
    positional_signature("GraphStore.add_reduction", kNameInputsParams, 2);
constexpr Signature kAddExternal =
    positional_signature("GraphStore.add_external", kDescriptorInputsParams, 2);
constexpr Signature kAddExchange =
    positional_signature("GraphStore.add_exchange", kInputsParams, 1);

// Only reachable by calling a method through the class with a foreign object.
bool check_receiver(PyObject* self, const char* method) {
  if (is_graph_store(self)) return true;
  PyErr_Format(PyExc_TypeError,
               "descriptor '%s' for 'nodalis_core.GraphStore' objects doesn't apply to a "
               "'%.100s' object",
               method, Py_TYPE(self)->tp_name);
  return false;
}

PyObject* intern(PyObject* self, ir::NodeKey key) {
  auto id = store_of(self).intern(std::move(key));
  if (!id) return map_err(id.error());
  return id_to_py(id.value());
}

using NamedKeyFactory = ir::NodeKey (*)(std::string_view, ir::ParamMapView,
                                        std::span<const ir::NodeId>);

// add_op and add_reduction: (name, inputs, params=None).
PyObject* add_named(const Signature& sig, const char* method, NamedKeyFactory make,
                    PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound_call(sig, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    if (!check_receiver(self, method)) return nullptr;
    std::string_view name;
    if (!str_arg("name", a[0], name)) return nullptr;
    NodeIds inputs;
    if (!ids_arg("inputs", a[1], inputs)) return nullptr;
    ParamScratch scratch;
    ir::ParamMapView params;
    if (!params_from_py(a.optional(2), scratch, params)) return nullptr;
    return intern(self, make(name, params, inputs.span()));
  });
}

}  // namespace

PyObject* graph_store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return bound_call(kAddSource, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    if (!check_receiver(self, "add_source")) return nullptr;
    std::string_view name;
    if (!str_arg("name", a[0], name)) return nullptr;
    ParamScratch scratch;
    ir::ParamMapView params;
    if (!params_from_py(a.optional(1), scratch, params)) return nullptr;
    return intern(self, ir::NodeKey::source(name, params));
  });
}

PyObject* graph_store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return add_named(kAddOp, "add_op", &ir::NodeKey::op, self, args, nargs, kwnames);
}

PyObject* graph_store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return add_named(kAddReduction, "add_reduction", &ir::NodeKey::reduction, self, args, nargs,
                   kwnames);
}

PyObject* graph_store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return bound_call(kAddExternal, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    if (!check_receiver(self, "add_external")) return nullptr;
    // The inputs come first although the descriptor stands first.
    NodeIds inputs;
    if (!ids_arg("inputs", a[1], inputs)) return nullptr;
    ir::PayloadDescriptor descriptor;
    if (!descriptor_from_py(a[0], descriptor)) return nullptr;
    ParamScratch scratch;
    ir::ParamMapView params;
    if (!params_from_py(a.optional(2), scratch, params)) return nullptr;
    return intern(self, ir::NodeKey::external(ir::view_of(descriptor), params, inputs.span()));
  });
}

PyObject* graph_store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return bound_call(kAddExchange, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    if (!check_receiver(self, "add_exchange")) return nullptr;
    NodeIds inputs;
    if (!ids_arg("inputs", a[0], inputs)) return nullptr;
    ParamScratch scratch;
    ir::ParamMapView params;
    if (!params_from_py(a.optional(1), scratch, params)) return nullptr;
    return intern(self, ir::NodeKey::exchange(params, inputs.span()));
  });
}

PyObject* graph_store_node_count(PyObject* self, PyObject*) {
  return guarded([&] { return PyLong_FromUnsignedLongLong(store_of(self).node_count()); });
}

PyObject* graph_store_outputs(PyObject* self, PyObject*) {
  return guarded([&] { return ids_to_py(store_of(self).outputs()); });
}

}  // namespace nodalis::py
