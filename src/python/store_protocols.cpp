// GraphStore's answers to the interpreter's protocols: pickling and copying
// through the blob (the store's durable form, which keeps ids and marks), a
// one-line repr, and the notebook display, which is drawn in Python by
// nodalis_core._display since it runs the Graphviz program.
#include <string>
#include <vector>

#include "python/call_boundary.h"
#include "python/graph_store_type.h"
#include "python/py_ref.h"

namespace nodalis::py {
namespace {

constexpr Signature kReprMimebundle = method_signature<doc::graph_store::repr_mimebundle>;

// A repr stays one short line however many outputs a store marks.
constexpr size_t kReprOutputs = 8;

}  // namespace

PyObject* graph_store_reduce_for_pickle(PyObject* self, PyObject*) {
  PyRef blob = PyRef::steal(graph_store_serialize(self, nullptr, 0, nullptr));
  if (!blob) return nullptr;
  // GraphStore.deserialize is bound to its class, so pickle finds it again as
  // an attribute of the class in the process that loads it.
  PyRef rebuild =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "deserialize"));
  if (!rebuild) return nullptr;
  return Py_BuildValue("(O(O))", rebuild.get(), blob.get());
}

PyObject* graph_store_repr(PyObject* self) {
  return guarded(self, [&]() -> PyObject* {
    const ir::GraphStore& store = store_of(self);
    const uint64_t count = store.node_count();
    const std::vector<uint64_t> outputs = store.outputs();
    std::string text = "<GraphStore " + std::to_string(count) + (count == 1 ? " node" : " nodes");
    if (!outputs.empty()) {
      text += ", outputs [";
      for (size_t i = 0; i < outputs.size() && i < kReprOutputs; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(outputs[i]);
      }
      if (outputs.size() > kReprOutputs)
        text += ", ... " + std::to_string(outputs.size()) + " in all";
      text += "]";
    }
    text += ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* graph_store_repr_mimebundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return bound_call(self, kReprMimebundle, args, nargs, kwnames,
                    [&](const BoundArgs& a) -> PyObject* {
    // Imported on first display only: a store that is never shown in a
    // notebook never loads it.
    PyRef display = PyRef::steal(PyImport_ImportModule("nodalis_core._display"));
    if (!display) return nullptr;
    PyObject* include = a[0] != nullptr ? a[0] : Py_None;
    PyObject* exclude = a[1] != nullptr ? a[1] : Py_None;
    return PyObject_CallMethod(display.get(), "mimebundle", "OOO", self, include, exclude);
  });
}

}  // namespace nodalis::py
