// GraphStore.serialize and GraphStore.deserialize: the Python face of the IR
// blob. serialize sizes the blob first and writes it straight into the bytes
// object it returns; deserialize decodes into a store no one else can see yet.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "blob/decoder.h"
#include "blob/encoder.h"
#include "python/call_boundary.h"
#include "python/conversions.h"
#include "python/graph_store_type.h"
#include "python/py_ref.h"

namespace nodalis::py {
namespace {

constexpr const char* kOutputsParam[] = {"outputs"};
constexpr const char* kDataParam[] = {"data"};
constexpr Signature kSerialize = positional_signature("GraphStore.serialize", kOutputsParam, 0);
constexpr Signature kDeserialize = positional_signature("GraphStore.deserialize", kDataParam, 1);

// A large fresh buffer is filled page by page, one page fault per 4 KiB;
// asking for huge pages first makes that one per 2 MiB. Only a hint: where
// the system has none to give, nothing changes.
void prefer_huge_pages(char* data, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{1} << 21;
  if (size < 4 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

// The blob of `nodes` with `outputs` as its output section, as a new bytes.
PyObject* blob_to_py(std::span<const ir::NodeKey> nodes, std::span<const ir::NodeId> outputs) {
  const size_t size = blob::blob_size(nodes, outputs);
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return nullptr;
  prefer_huge_pages(PyBytes_AS_STRING(bytes.get()), size);
  blob::write_blob(PyBytes_AS_STRING(bytes.get()), nodes, outputs);
  return bytes.release();
}

}  // namespace

PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return bound_call(kSerialize, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    ir::GraphStore& store = store_of(self);
    PyObject* requested = a.optional(0);
    if (requested == nullptr) {
      // The marks, in mark order, with the nodes they were marked among.
      ir::StoreSnapshot snap = store.snapshot();
      return blob_to_py(snap.nodes, snap.outputs);
    }
    NodeIds outputs;
    if (!ids_arg("outputs", requested, outputs)) return nullptr;
    // Every check before anything is written: the count must fit the format
    // (never a silently cut count) and every id must name a node. A store
    // only grows, so ids valid now are valid in the snapshot taken next.
    blob::check_blob_counts(0, outputs.size());
    const uint64_t count = store.node_count();
    for (ir::NodeId id : outputs.span()) {
      if (id >= count) return raise_bad_node_id(ir::BadNodeId{id});
    }
    std::vector<ir::NodeKey> nodes = store.nodes();
    return blob_to_py(nodes, outputs.span());
  });
}

// A static method: `self` is the class once bind_deserialize_to_class has run.
PyObject* graph_store_deserialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return bound_call(kDeserialize, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    std::string_view blob;
    if (!bytes_arg("data", a[0], blob)) return nullptr;
    auto decoded = blob::deserialize(blob);
    if (!decoded) {
      PyErr_SetString(PyExc_ValueError, decoded.error().display().c_str());
      return nullptr;
    }
    if (self == nullptr || !PyType_Check(self)) {
      PyErr_SetString(PyExc_SystemError, "GraphStore.deserialize is not bound to its class");
      return nullptr;
    }
    return wrap_store(reinterpret_cast<PyTypeObject*>(self), std::move(decoded.value()));
  });
}

int bind_deserialize_to_class(PyTypeObject* type) {
  // The interpreter calls a static method's C function without a receiver,
  // but deserialize must know which class (of which module instance) to
  // instantiate. So the class's entry is replaced by the same static method
  // over a function bound to the class; the entry keeps its place. The bound
  // function's definition must not say METH_STATIC, or the interpreter would
  // again pass no receiver.
  const auto target = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_store_deserialize));
  for (PyMethodDef* def = type->tp_methods; def != nullptr && def->ml_name != nullptr; ++def) {
    if (def->ml_meth != target) continue;
    static PyMethodDef bound = [def] {
      PyMethodDef copy = *def;
      copy.ml_flags &= ~METH_STATIC;
      return copy;
    }();
    PyRef function = PyRef::steal(PyCFunction_NewEx(&bound, reinterpret_cast<PyObject*>(type), nullptr));
    if (!function) return -1;
    PyRef method = PyRef::steal(PyStaticMethod_New(function.get()));
    if (!method || PyDict_SetItemString(type->tp_dict, def->ml_name, method.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
  }
  PyErr_SetString(PyExc_SystemError, "GraphStore has no deserialize method to bind");
  return -1;
}

}  // namespace nodalis::py
