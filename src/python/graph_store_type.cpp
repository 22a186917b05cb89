// The GraphStore class: object layout, life cycle and the method table. The
// object holds the store by pointer, so that stores built elsewhere (decoded,
// reduced) can be adopted without copying.
#include "python/graph_store_type.h"

#include <new>

#include "python/call_boundary.h"
#include "python/frozen_type.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {
namespace {

struct GraphStoreObject {
  PyObject_HEAD
  ir::GraphStore* store;
};

GraphStoreObject* as_object(PyObject* o) noexcept { return reinterpret_cast<GraphStoreObject*>(o); }

constexpr Signature kConstructor = no_parameters("GraphStore");

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

// The table: one line per method, in the order the class lists them.
// METH_FASTCALL | METH_KEYWORDS entries go through bound_call; the cast is the
// C API's usual one for that calling convention.
#define NODALIS_FASTCALL(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_store_##name)), \
   METH_FASTCALL | METH_KEYWORDS, doc}
#define NODALIS_STATIC(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_store_##name)), \
   METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc}
#define NODALIS_NOARGS(name, doc) {#name, graph_store_##name, METH_NOARGS, doc}

PyMethodDef graph_store_methods[] = {
    NODALIS_FASTCALL(add_source, "add_source($self, name, params=None)\n--\n\n"),
    NODALIS_FASTCALL(add_op, "add_op($self, name, inputs, params=None)\n--\n\n"),
    NODALIS_FASTCALL(add_reduction, "add_reduction($self, name, inputs, params=None)\n--\n\n"),
    NODALIS_FASTCALL(add_external, "add_external($self, descriptor, inputs, params=None)\n--\n\n"),
    NODALIS_FASTCALL(add_exchange,
                     "add_exchange($self, inputs, params=None)\n--\n\n"
                     "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an "
                     "Exchange's identity is its\n`scheme` ParamMap (`params`) + its one logical "
                     "input; `nodes()[i][\"kind\"] == \"exchange\"`."),
    NODALIS_NOARGS(node_count, "node_count($self)\n--\n\n"),
    NODALIS_NOARGS(to_dot, "to_dot($self)\n--\n\n"),
    NODALIS_FASTCALL(serialize,
                     "serialize($self, outputs=None)\n--\n\n"
                     "Serialize the IR to the canonical, versioned, byte-identical durable form "
                     "(plan M8 / A.3.1:\nthe serializable IR — not cloudpickle — is the "
                     "canonical durable representation). With\n`outputs=` the bytes flag EXACTLY "
                     "that set, ignoring stored marks (M22: outputs are a\nproperty of the compile "
                     "request); the default keeps the marks-based behavior."),
    NODALIS_STATIC(deserialize,
                   "deserialize(data)\n--\n\n"
                   "Rebuild a store from canonical bytes. A round trip reproduces the same node "
                   "ids, so\n`serialize` of the result is byte-identical to the input (plan M8 "
                   "determinism gate)."),
    NODALIS_NOARGS(nodes,
                   "nodes($self)\n--\n\n"
                   "Structured, read-only view of every node in id order (plan M9: `inspect` "
                   "renders the IR and\n`reproduce` interprets it). Each entry is a dict with "
                   "`id`, `kind`\n(source|op|reduction|external|stage), `name`, `params`, "
                   "`inputs`, `output` (bool), plus a\n`descriptor` dict for external nodes and "
                   "`n_members` for stage nodes."),
    NODALIS_NOARGS(outputs,
                   "outputs($self)\n--\n\n"
                   "The marked output node ids, in mark order (what an IR evaluator returns, in "
                   "order)."),
    NODALIS_FASTCALL(reduce,
                     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
                     "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion "
                     "behind\nRewriteEngine). Returns the reduced store and a report dict. "
                     "`maximal_fusion=True` opts in\nto fusing fan-out ops whose consumers all "
                     "land in one stage (the default single-use rule is\npinned by the frozen M4 "
                     "suite)."),
    NODALIS_FASTCALL(reduce_incremental,
                     "reduce_incremental($self, *, outputs=None)\n--\n\n"
                     "One-shot incremental reduction of the current graph (same result as "
                     "`reduce`). For genuine\nstep-by-step reduction while building, use "
                     "`IncrementalReducer`."),
    NODALIS_FASTCALL(reduction_report,
                     "reduction_report($self, *, outputs=None)\n--\n\n"
                     "The reduction report for the current graph, without keeping the reduced "
                     "store."),
    NODALIS_FASTCALL(reduce_plan,
                     "reduce_plan($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
                     "Reduce exactly like `reduce`, and also say where each requested output "
                     "ended up. Returns\n(reduced store, report dict, output ids): the id in the "
                     "reduced store of each requested\noutput (or marked output, without "
                     "`outputs=`), in request order with repeats kept. The\nreduced store's own "
                     "marks cannot tell this: equal outputs share one mark."),
    {"__reduce__", graph_store_reduce_for_pickle, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Pickle and copy through the blob: the copy has the same node ids and marks."},
    {"_repr_mimebundle_",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_store_repr_mimebundle)),
     METH_FASTCALL | METH_KEYWORDS,
     "_repr_mimebundle_($self, include=None, exclude=None)\n--\n\n"
     "The notebook display: an SVG drawing when Graphviz's `dot` is installed and the graph is\n"
     "small enough to draw, and a text summary always."},
    {nullptr, nullptr, 0, nullptr},
};

#undef NODALIS_FASTCALL
#undef NODALIS_STATIC
#undef NODALIS_NOARGS

PyType_Slot graph_store_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "GraphStore()\n--\n\n"
                    "Thread-safe interned graph store (frozen pyclass: interior mutability via a "
                    "Mutex, safe to\nshare across threads under the GIL and free-threaded "
                    "3.14t).")},
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
