// The GraphStore class: object layout, life cycle and the method table. The
// object holds the store by pointer, so that stores built elsewhere (decoded,
// reduced) can be adopted without copying.
#include "python/graph_store_type.h"

#include <new>

#include "python/call_boundary.h"
#include "python/docstrings.h"
#include "python/frozen_type.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {
namespace {

struct GraphStoreObject {
  PyObject_HEAD
  ir::GraphStore* store;
};

GraphStoreObject* as_object(PyObject* o) noexcept { return reinterpret_cast<GraphStoreObject*>(o); }

constexpr Signature kConstructor = signature_of<doc::graph_store::kClass>;

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* owner = reinterpret_cast<PyObject*>(type);
  return bound_call(owner, kConstructor, args, kwargs, [&](const BoundArgs&) -> PyObject* {
    return wrap_store(type, std::make_unique<ir::GraphStore>());
  });
}

void graph_store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_object(self)->store;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// The table: one line per method, in the order the class lists them, each
// with its docstring from docstrings.h. METH_FASTCALL | METH_KEYWORDS entries
// go through bound_call; the cast is the C API's usual one for that calling
// convention.
#define NODALIS_FASTCALL(name) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_store_##name)), \
   METH_FASTCALL | METH_KEYWORDS, checked_doc(#name, doc::graph_store::name)}
#define NODALIS_STATIC(name) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_store_##name)), \
   METH_FASTCALL | METH_KEYWORDS | METH_STATIC, checked_doc(#name, doc::graph_store::name)}
#define NODALIS_NOARGS(name) \
  {#name, graph_store_##name, METH_NOARGS, checked_doc(#name, doc::graph_store::name)}

PyMethodDef graph_store_methods[] = {
    NODALIS_FASTCALL(add_source),
    NODALIS_FASTCALL(add_op),
    NODALIS_FASTCALL(add_reduction),
    NODALIS_FASTCALL(add_external),
    NODALIS_FASTCALL(add_exchange),
    NODALIS_NOARGS(node_count),
    NODALIS_NOARGS(to_dot),
    NODALIS_FASTCALL(serialize),
    NODALIS_STATIC(deserialize),
    NODALIS_NOARGS(nodes),
    NODALIS_NOARGS(outputs),
    NODALIS_FASTCALL(reduce),
    NODALIS_FASTCALL(reduce_incremental),
    NODALIS_FASTCALL(reduction_report),
    NODALIS_FASTCALL(reduce_plan),
    {"__reduce__", graph_store_reduce_for_pickle, METH_NOARGS,
     checked_doc("__reduce__", doc::graph_store::reduce_for_pickle)},
    {"_repr_mimebundle_",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_store_repr_mimebundle)),
     METH_FASTCALL | METH_KEYWORDS,
     checked_doc("_repr_mimebundle_", doc::graph_store::repr_mimebundle)},
    {nullptr, nullptr, 0, nullptr},
};

#undef NODALIS_FASTCALL
#undef NODALIS_STATIC
#undef NODALIS_NOARGS

PyType_Slot graph_store_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::graph_store::kClass)},
    {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_store_repr)},
    {Py_tp_methods, graph_store_methods},
    {0, nullptr},
};

PyType_Spec graph_store_spec = {
    "nodalis_core.GraphStore",
    sizeof(GraphStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | kFrozen,  // no BASETYPE: not subclassable
    graph_store_slots,
};

}  // namespace

PyObject* make_graph_store_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &graph_store_spec, nullptr);
  if (type != nullptr && bind_deserialize_to_class(reinterpret_cast<PyTypeObject*>(type)) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;
}

bool is_graph_store(PyObject* o) noexcept { return Py_TYPE(o)->tp_dealloc == graph_store_dealloc; }

bool graph_store_arg(const char* param, PyObject* o) {
  if (is_graph_store(o)) return true;
  PyErr_Format(PyExc_TypeError, "expected GraphStore, not %.200s", Py_TYPE(o)->tp_name);
  return argument_error(param);
}

ir::GraphStore& store_of(PyObject* o) noexcept { return *as_object(o)->store; }

PyObject* wrap_store(PyTypeObject* type, std::unique_ptr<ir::GraphStore> store) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_object(self)->store = store.release();
  return self;
}

}  // namespace nodalis::py
