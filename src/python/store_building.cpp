// The GraphStore building methods and the two small queries. Each converts its
// arguments in signature order, encodes the node's record in a reused buffer
// and interns that: the store is touched only by the final intern (which
// allocates a key only for a new node), so a failed call changes nothing.
#include <span>
#include <string_view>

#include "python/call_boundary.h"
#include "python/descriptor_conversions.h"
#include "python/graph_store_type.h"
#include "python/id_conversions.h"
#include "python/param_conversions.h"
#include "python/py_ref.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {
namespace {

constexpr Signature kAddSource = method_signature<doc::graph_store::add_source>;
constexpr Signature kAddOp = method_signature<doc::graph_store::add_op>;
constexpr Signature kAddReduction = method_signature<doc::graph_store::add_reduction>;
constexpr Signature kAddExternal = method_signature<doc::graph_store::add_external>;
constexpr Signature kAddExchange = method_signature<doc::graph_store::add_exchange>;

// Runs once every argument is converted: `build` calls the record's builder
// for the node's kind.
template <class Build>
PyObject* intern(PyObject* self, Build&& build) {
  ir::NodeRecord record;
  build(record);
  auto id = store_of(self).intern_record(record.view());
  if (!id) return raise_bad_node_id(id.error());
  return id_to_py(id.value());
}

// add_op and add_reduction: (name, inputs, params=None).
PyObject* add_named(const Signature& sig, ir::NodeKind kind,
                    PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound_call(self, sig, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    std::string_view name;
    if (!str_arg("name", a[0], name)) return nullptr;
    NodeIds inputs;
    if (!ids_arg("inputs", a[1], inputs)) return nullptr;
    RecordParams params;
    if (!params.convert(a.optional(2))) return nullptr;
    return intern(self, [&](ir::NodeRecord& r) {
      if (kind == ir::NodeKind::Op)
        r.op(name, params.to_write(), inputs.span());
      else
        r.reduction(name, params.to_write(), inputs.span());
    });
  });
}

}  // namespace

PyObject* graph_store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return bound_call(self, kAddSource, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    std::string_view name;
    if (!str_arg("name", a[0], name)) return nullptr;
    RecordParams params;
    if (!params.convert(a.optional(1))) return nullptr;
    return intern(self, [&](ir::NodeRecord& r) { r.source(name, params.to_write()); });
  });
}

PyObject* graph_store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return add_named(kAddOp, ir::NodeKind::Op, self, args, nargs, kwnames);
}

PyObject* graph_store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return add_named(kAddReduction, ir::NodeKind::Reduction, self, args, nargs,
                   kwnames);
}

PyObject* graph_store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return bound_call(self, kAddExternal, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    // The inputs come first although the descriptor stands first.
    NodeIds inputs;
    if (!ids_arg("inputs", a[1], inputs)) return nullptr;
    ir::PayloadDescriptor descriptor;
    if (!descriptor_from_py(a[0], descriptor)) return nullptr;
    RecordParams params;
    if (!params.convert(a.optional(2))) return nullptr;
    const ir::PayloadDescriptorView fields = ir::view_of(descriptor);
    return intern(self, [&](ir::NodeRecord& r) { r.external(fields, params.to_write(), inputs.span()); });
  });
}

PyObject* graph_store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return bound_call(self, kAddExchange, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    NodeIds inputs;
    if (!ids_arg("inputs", a[0], inputs)) return nullptr;
    RecordParams params;
    if (!params.convert(a.optional(1))) return nullptr;
    return intern(self, [&](ir::NodeRecord& r) { r.exchange(params.to_write(), inputs.span()); });
  });
}

PyObject* graph_store_node_count(PyObject* self, PyObject*) {
  return guarded(self, [&] { return PyLong_FromUnsignedLongLong(store_of(self).node_count()); });
}

PyObject* graph_store_outputs(PyObject* self, PyObject*) {
  return guarded(self, [&] { return ids_to_py(store_of(self).outputs()); });
}

}  // namespace nodalis::py
