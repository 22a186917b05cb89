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
#include "python/graph_store_type.h"
#include "python/id_conversions.h"
#include "python/py_ref.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {
namespace {

constexpr Signature kSerialize = method_signature<doc::graph_store::serialize>;
constexpr Signature kDeserialize = method_signature<doc::graph_store::deserialize>;

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
  return bound_call(self, kSerialize, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
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

namespace {

// Where the running interpreter keeps the class deserialize instantiates.
// The key names this copy of the module: two builds loaded side by side (a
// benchmark comparing them) must each find their own class, since each
// build's store layout is its own.
constexpr char kClassKey[] = "nodalis_core.GraphStore";

PyRef class_key() {
  return PyRef::steal(PyUnicode_FromFormat("%s@%p", kClassKey, static_cast<const void*>(kClassKey)));
}

// A strong reference to that class, or null with an error set.
PyRef store_class() {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyRef key = class_key();
  if (dict == nullptr || !key) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "no interpreter state to find GraphStore in");
    return {};
  }
  PyRef cls = PyRef::borrow(PyDict_GetItemWithError(dict, key.get()));
  if (!cls && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "GraphStore.deserialize is not bound to its class");
  return cls;
}

}  // namespace

// A static method, so the interpreter hands it no receiver (and, for a call
// it has specialised, not even the function object): the class to
// instantiate is the one the running interpreter's module registered.
// The class is also what a fault is raised through (its module's PanicException).
PyObject* graph_store_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyRef cls = store_class();
  if (!cls) return nullptr;
  return bound_call(cls.get(), kDeserialize, args, nargs, kwnames,
                    [&](const BoundArgs& a) -> PyObject* {
    std::string_view blob;
    if (!bytes_arg("data", a[0], blob)) return nullptr;
    auto decoded = blob::deserialize(blob);
    if (!decoded) {
      PyErr_SetString(PyExc_ValueError, decoded.error().display().c_str());
      return nullptr;
    }
    return wrap_store(reinterpret_cast<PyTypeObject*>(cls.get()), std::move(decoded.value()));
  });
}

int bind_deserialize_to_class(PyTypeObject* type) {
  // The method stays the plain static method the class made from its table
  // (no receiver, __self__ None, pickled as the class's attribute); only
  // the class it instantiates is recorded, per interpreter, as every
  // interpreter imports the module once.
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {
    PyErr_SetString(PyExc_SystemError, "no interpreter state to register GraphStore in");
    return -1;
  }
  PyRef key = class_key();
  if (!key) return -1;
  return PyDict_SetItem(dict, key.get(), reinterpret_cast<PyObject*>(type));
}

}  // namespace nodalis::py
