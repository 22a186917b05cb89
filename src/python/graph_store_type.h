// The Python class GraphStore: a frozen object that owns exactly one IR store.
// Methods live in files by concern (building, node view, ...) and are listed
// in one table in graph_store_type.cpp; this header is what those files and
// other Python types (reducers, reductions) need to reach a store.
#pragma once

#include <Python.h>

#include <memory>

#include "ir/graph_store.h"
#include "python/arg_binder.h"
#include "python/docstrings.h"

namespace nodalis::py {

// Creates the class for `module` (a new reference), or null with an error set.
PyObject* make_graph_store_type(PyObject* module);

// True for GraphStore instances of any module instance: the class cannot be
// subclassed, so its instances are exactly the objects using its deallocator.
bool is_graph_store(PyObject* o) noexcept;

// An argument that must be a GraphStore (e.g. a reducer's `store`):
// TypeError "argument '<param>': expected GraphStore, not int" otherwise.
bool graph_store_arg(const char* param, PyObject* o);

// The store inside a GraphStore object. Precondition: is_graph_store(o).
ir::GraphStore& store_of(PyObject* o) noexcept;

// A new GraphStore object of class `type` owning `store`; null with an error
// set (the store is then freed). `type` is the receiver's class, e.g.
// Py_TYPE(self), or the class itself in a static method.
PyObject* wrap_store(PyTypeObject* type, std::unique_ptr<ir::GraphStore> store);

// The parameters of the method whose docstring is `Doc` (one of
// doc::graph_store's), as its docstring's signature gives them.
template <const char* Doc>
inline constexpr Signature method_signature = signature_of<Doc, doc::graph_store::kClass>;

// Methods, each defined in the file of its concern and listed in the table in
// graph_store_type.cpp. The signature is that of METH_FASTCALL | METH_KEYWORDS
// (a static method receives the class as `self`), or of METH_NOARGS for
// those taking no arguments (`unused` is null).
// store_building.cpp
PyObject* graph_store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* graph_store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* graph_store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* graph_store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* graph_store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* graph_store_node_count(PyObject* self, PyObject* unused);
PyObject* graph_store_outputs(PyObject* self, PyObject* unused);
// node_view.cpp
PyObject* graph_store_nodes(PyObject* self, PyObject* unused);
// store_dot.cpp
PyObject* graph_store_to_dot(PyObject* self, PyObject* unused);
// store_blob.cpp
PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* graph_store_deserialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
// The interpreter calls a static method's function without a receiver;
// this makes `type` the class deserialize instantiates in the running
// interpreter (-1 with an error set).
int bind_deserialize_to_class(PyTypeObject* type);
// reduction_methods.cpp
PyObject* graph_store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* graph_store_reduce_plan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
// store_protocols.cpp: __reduce__, tp_repr and _repr_mimebundle_
PyObject* graph_store_reduce_for_pickle(PyObject* self, PyObject* unused);
PyObject* graph_store_repr(PyObject* self);
PyObject* graph_store_repr_mimebundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);

}  // namespace nodalis::py
