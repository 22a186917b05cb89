// GraphStore.to_dot: the Graphviz rendering as a str. The store renders under
// its lock (one state of nodes and marks, no copy of the keys); the text is
// converted only after the lock is released.
#include <string>

#include "ir/dot.h"
#include "python/call_boundary.h"
#include "python/graph_store_type.h"

namespace nodalis::py {

PyObject* graph_store_to_dot(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    const std::string text = store_of(self).read(ir::to_dot);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  });
}

}  // namespace nodalis::py
