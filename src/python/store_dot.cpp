// GraphStore.to_dot: the Graphviz rendering as a str, rendered from a snapshot
// after the store's lock is released (the snapshot is one consistent state).
#include <string>

#include "ir/dot.h"
#include "python/call_boundary.h"
#include "python/graph_store_type.h"

namespace nodalis::py {

PyObject* graph_store_to_dot(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::string text = ir::to_dot(store_of(self).snapshot());
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  });
}

}  // namespace nodalis::py
