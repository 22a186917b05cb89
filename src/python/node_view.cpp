// GraphStore.nodes(): the structured, read-only view of every node. The view is
// built from one snapshot after the store's lock is released, so it shows one
// consistent state while other threads keep adding nodes. Texts met again
// (kinds, names, parameter keys) share one str object each.
#include <string>
#include <vector>

#include "python/call_boundary.h"
#include "python/descriptor_conversions.h"
#include "python/graph_store_type.h"
#include "python/id_conversions.h"
#include "python/param_conversions.h"
#include "python/py_ref.h"
#include "python/scalar_conversions.h"
#include "python/str_cache.h"

namespace nodalis::py {
namespace {

// Keeps the cyclic garbage collector from running while the view is built:
// the view's million new containers cannot be garbage yet, and each pass
// would walk all of them again. Its previous state is restored on the way out.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  int was_enabled_;
};

// The view's dict keys, made once per call and shared by every node's dict.
class ViewKeys {
 public:
  enum Key { Id, Output, Inputs, Kind, Name, Params, Descriptor, NMembers, Members, Input, Member, kCount };

  bool init() {
    static constexpr const char* kTexts[kCount] = {"id",       "output",     "inputs",  "kind",
                                                   "name",     "params",     "descriptor",
                                                   "n_members", "members",   "input",   "member"};
    for (int k = 0; k < kCount; ++k) {
      keys_[k] = PyRef::steal(PyUnicode_InternFromString(kTexts[k]));
      if (!keys_[k]) return false;
    }
    return true;
  }
  PyObject* operator[](Key k) const noexcept { return keys_[k].get(); }
  StrCache& strs() noexcept { return strs_; }

 private:
  PyRef keys_[kCount];
  StrCache strs_;
};

// Sets dict[key] = value, taking over `value` (a new reference or null).
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItem(dict, key, owned.get()) == 0;
}

PyObject* member_inputs(const ir::StageOpView& member, ViewKeys& keys) {
  PyRef list = PyRef::steal(PyList_New(member.arity()));
  if (!list) return nullptr;
  for (uint32_t r = 0; r < member.arity(); ++r) {
    ir::StageRef ref = member.ref(r);
    PyRef index = PyRef::steal(PyLong_FromUnsignedLongLong(ref.index));
    if (!index) return nullptr;
    PyObject* tag = ref.kind == ir::StageRefKind::Input ? keys[ViewKeys::Input]
                                                        : keys[ViewKeys::Member];
    PyObject* pair = PyTuple_Pack(2, tag, index.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), r, pair);
  }
  return list.release();
}

PyObject* member_dict(const ir::StageOpView& member, ViewKeys& keys) {
  std::optional<ir::ParsedOpToken> parsed = ir::parse_op_token(member.token());
  if (!parsed) {
    std::string shown = ir::ParamRef::of_str(member.token()).display();
    PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", shown.c_str());
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), keys[ViewKeys::Kind], str_to_py(parsed->kind)) ||
      !set_item(dict.get(), keys[ViewKeys::Name], str_to_py(parsed->name)) ||
      !set_item(dict.get(), keys[ViewKeys::Params], params_to_py(parsed->params.view())) ||
      !set_item(dict.get(), keys[ViewKeys::Inputs], member_inputs(member, keys)))
    return nullptr;
  return dict.release();
}

PyObject* stage_members(const ir::NodeKey& node, ViewKeys& keys) {
  ir::MembersView members = node.members();
  PyRef list = PyRef::steal(PyList_New(members.size()));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (ir::StageOpView member : members) {
    PyObject* dict = member_dict(member, keys);
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, dict);
  }
  return list.release();
}

PyObject* node_dict(ir::NodeId id, const ir::NodeKey& node, bool output, ViewKeys& keys) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  ir::NodeKind kind = node.kind();
  if (!set_item(d, keys[ViewKeys::Id], id_to_py(id)) ||
      !set_item(d, keys[ViewKeys::Output], PyBool_FromLong(output)) ||
      !set_item(d, keys[ViewKeys::Inputs], ids_to_py(node.inputs())) ||
      !set_item(d, keys[ViewKeys::Kind], keys.strs().get(ir::kind_name(kind))) ||
      !set_item(d, keys[ViewKeys::Name], keys.strs().get(node.name())) ||
      !set_item(d, keys[ViewKeys::Params], params_to_py(node.params(), &keys.strs())))
    return nullptr;
  if (kind == ir::NodeKind::External &&
      !set_item(d, keys[ViewKeys::Descriptor], descriptor_to_py(node.descriptor())))
    return nullptr;
  if (kind == ir::NodeKind::Stage &&
      (!set_item(d, keys[ViewKeys::NMembers], PyLong_FromUnsignedLong(node.members().size())) ||
       !set_item(d, keys[ViewKeys::Members], stage_members(node, keys))))
    return nullptr;
  return dict.release();
}

}  // namespace

PyObject* graph_store_nodes(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    ir::StoreSnapshot snapshot = store_of(self).snapshot();
    std::vector<bool> marked(snapshot.nodes.size(), false);
    for (ir::NodeId id : snapshot.outputs)
      if (id < marked.size()) marked[id] = true;
    GcPause pause;
    ViewKeys keys;
    if (!keys.init()) return nullptr;
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(snapshot.nodes.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < snapshot.nodes.size(); ++i) {
      PyObject* dict = node_dict(i, snapshot.nodes[i], marked[i], keys);
      if (dict == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), dict);
    }
    return list.release();
  });
}

}  // namespace nodalis::py
