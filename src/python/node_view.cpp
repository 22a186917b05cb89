// GraphStore.nodes(): the structured, read-only view of every node. The view is
// built from one snapshot after the store's lock is released, so it shows one
// consistent state while other threads keep adding nodes. A view of a million
// nodes is mostly allocation and dict insertion, so what can be shared or
// copied whole is (see ViewBuilder).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/hash.h"
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

// The cyclic garbage collector while a view is built. Left to run by itself,
// its full passes would walk the view's new containers again and again as
// they pile up, so it is paused. But a view built whole under the pause is
// walked from memory by the first young collection after it, and again by
// the next middle one, which costs about as much as building it. So when
// the collector was on, the two young generations are collected after each
// batch of nodes, while that batch is still in cache: its containers reach
// the oldest generation as they would have anyway. The free-threaded
// collector has no young generations (each pass walks the whole heap), so
// there the pause alone stays.
class CollectorPacing {
 public:
  // About as many new containers as the collector's default young threshold.
  static constexpr size_t kBatch = 256;

  CollectorPacing() noexcept : was_enabled_(PyGC_Disable()) {}
  CollectorPacing(const CollectorPacing&) = delete;
  CollectorPacing& operator=(const CollectorPacing&) = delete;
  ~CollectorPacing() {
    if (was_enabled_) PyGC_Enable();
  }

  // Collects the young generations if the collector would; 1 when it ran
  // (and with it whatever finalizers and callbacks it calls), 0 when not,
  // -1 with an error set.
  int collect_young() {
    if (state_ == State::Unknown && !start()) return -1;
    if (state_ == State::Off) return 0;
    PyRef done = PyRef::steal(PyObject_CallOneArg(collect_.get(), generation_.get()));
    return done ? 1 : -1;
  }

 private:
  enum class State { Unknown, Off, On };

  bool start() {
    state_ = State::Off;
#ifndef Py_GIL_DISABLED
    if (!was_enabled_) return true;
    PyRef gc = PyRef::steal(PyImport_ImportModule("gc"));
    if (!gc) return false;
    // A threshold of 0 is how a program turns off collection by allocation.
    PyRef thresholds = PyRef::steal(PyObject_CallMethod(gc.get(), "get_threshold", nullptr));
    if (!thresholds) return false;
    if (!PyTuple_Check(thresholds.get()) || PyTuple_GET_SIZE(thresholds.get()) < 1) return true;
    const long young = PyLong_AsLong(PyTuple_GET_ITEM(thresholds.get(), 0));
    if (young == -1 && PyErr_Occurred()) return false;
    if (young == 0) return true;
    collect_ = PyRef::steal(PyObject_GetAttrString(gc.get(), "collect"));
    generation_ = PyRef::steal(PyLong_FromLong(1));
    if (!collect_ || !generation_) return false;
    state_ = State::On;
#endif
    return true;
  }

  int was_enabled_;
  State state_ = State::Unknown;
  PyRef collect_;
  PyRef generation_;
};

// Sets dict[key] = value, taking over `value` (a new reference or null).
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItem(dict, key, owned.get()) == 0;
}

// The params dicts of one view. Equal maps come again and again (ops with the
// same scalar), and copying a dict costs much less than converting its map
// again; the copy shares the first dict's values, which are immutable. That
// first dict is in the view under construction, which only code the
// collector runs could reach (through gc.get_objects), so the cache is
// emptied whenever the collector has run.
class ParamDicts {
 public:
  PyObject* get(ir::ParamMapView map, StrCache& strs) {
    if (map.empty()) return PyDict_New();
    const std::string_view encoded = map.encoded();
    Slot& slot = slots_[hash_finish(hash_bytes(0, encoded.data(), encoded.size())) % kSlots];
    if (slot.dict && slot.encoded == encoded) return PyDict_Copy(slot.dict.get());
    PyObject* dict = params_to_py(map, &strs);
    if (dict != nullptr) slot = {encoded, PyRef::borrow(dict)};
    return dict;
  }

  void forget() {
    for (Slot& slot : slots_) slot.dict = PyRef();
  }

 private:
  struct Slot {
    std::string_view encoded;  // in the snapshot's records
    PyRef dict;
  };
  static constexpr size_t kSlots = 256;
  Slot slots_[kSlots];
};

// Everything one call of nodes() makes once and shares: the dict keys, the
// templates node dicts are copied from, the texts met again (StrCache) and
// the params dicts met again (ParamDicts). A node dict starts as a copy of a
// template with its keys in their order and the usual values in place, so a
// node pays one copy and a few replacements, not a dict grown key by key.
class ViewBuilder {
 public:
  enum Key { Id, Output, Inputs, Kind, Name, Params, Descriptor, NMembers, Members, Input, Member, kKeys };

  bool init() {
    static constexpr const char* kTexts[kKeys] = {"id",       "output",     "inputs",  "kind",
                                                  "name",     "params",     "descriptor",
                                                  "n_members", "members",   "input",   "member"};
    for (int k = 0; k < kKeys; ++k) {
      keys_[k] = PyRef::steal(PyUnicode_InternFromString(kTexts[k]));
      if (!keys_[k]) return false;
    }
    return true;
  }

  PyObject* node_dict(ir::NodeId id, const ir::NodeKey& node, bool output) {
    const ir::NodeKind kind = node.kind();
    PyRef dict;
    if (has_name(kind)) {
      dict = named_copy(kind, node.name());
    } else if (PyObject* kind_template = template_of(kind)) {
      dict = PyRef::steal(PyDict_Copy(kind_template));
    }
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    PyObject* id_object = id_to_py(id);
    if (!set_item(d, keys_[Id].get(), id_object)) return nullptr;
    recent_ids_[id % kRecent] = PyRef::borrow(id_object);  // the dict holds it
    if ((output && PyDict_SetItem(d, keys_[Output].get(), Py_True) < 0) ||
        !set_item(d, keys_[Inputs].get(), inputs_list(id, node.inputs())) ||
        !set_item(d, keys_[Params].get(), params_.get(node.params(), strs_)))
      return nullptr;
    if (kind == ir::NodeKind::External &&
        !set_item(d, keys_[Descriptor].get(), descriptor_to_py(node.descriptor())))
      return nullptr;
    if (kind == ir::NodeKind::Stage &&
        (!set_item(d, keys_[NMembers].get(), PyLong_FromUnsignedLong(node.members().size())) ||
         !set_item(d, keys_[Members].get(), stage_members(node))))
      return nullptr;
    return dict.release();
  }

  // Code the collector ran may have changed what the view holds so far.
  void collector_ran() { params_.forget(); }

 private:
  static bool has_name(ir::NodeKind kind) noexcept {
    return kind == ir::NodeKind::Source || kind == ir::NodeKind::Op ||
           kind == ir::NodeKind::Reduction;
  }

  // The kind's keys in their order, with the kind, name "" and output False
  // in place and None for what every node sets. Made on first use, so a
  // small view pays only for the kinds it shows.
  PyObject* template_of(ir::NodeKind kind) {
    PyRef& slot = templates_[static_cast<int>(kind)];
    if (slot) return slot.get();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (PyDict_SetItem(d, keys_[Id].get(), Py_None) < 0 ||
        PyDict_SetItem(d, keys_[Output].get(), Py_False) < 0 ||
        PyDict_SetItem(d, keys_[Inputs].get(), Py_None) < 0 ||
        !set_item(d, keys_[Kind].get(), strs_.get(ir::kind_name(kind))) ||
        !set_item(d, keys_[Name].get(), strs_.get("")) ||
        PyDict_SetItem(d, keys_[Params].get(), Py_None) < 0)
      return nullptr;
    if (kind == ir::NodeKind::External && PyDict_SetItem(d, keys_[Descriptor].get(), Py_None) < 0)
      return nullptr;
    if (kind == ir::NodeKind::Stage && (PyDict_SetItem(d, keys_[NMembers].get(), Py_None) < 0 ||
                                        PyDict_SetItem(d, keys_[Members].get(), Py_None) < 0))
      return nullptr;
    slot = std::move(dict);
    return slot.get();
  }

  // A new dict for a node with a name. Names repeat (a few op names over a
  // whole graph), so a name met again gets a template of its own with the
  // name in place; a name seen once costs no template.
  PyRef named_copy(ir::NodeKind kind, std::string_view text) {
    PyObject* kind_template = template_of(kind);
    if (kind_template == nullptr) return {};
    bool reused;
    PyRef name = PyRef::steal(strs_.get(text, reused));
    if (!name) return {};
    // The template holds its name, so an equal pointer is the same str.
    // Objects of one size sit a fixed stride apart, so the address is mixed
    // before it picks a slot: its low bits alone leave most slots unused.
    const uint64_t mixed = (reinterpret_cast<uintptr_t>(name.get()) + static_cast<uintptr_t>(kind)) *
                           0x9E3779B97F4A7C15ull;
    NamedTemplate& slot = named_[mixed >> 58];
    if (!slot.dict || slot.name != name.get() || slot.kind != kind) {
      PyRef dict = PyRef::steal(PyDict_Copy(kind_template));
      if (!dict || PyDict_SetItem(dict.get(), keys_[Name].get(), name.get()) < 0) return {};
      if (!reused) return dict;
      slot = {name.get(), kind, std::move(dict)};
    }
    return PyRef::steal(PyDict_Copy(slot.dict.get()));
  }

  // Inputs name earlier nodes; a recent one shares its id int, still in
  // cache. An older one gets an int of its own, next to the list in memory:
  // touching the far one would cost more than making it, now and whenever
  // the collector walks the list.
  PyObject* inputs_list(ir::NodeId id, const ir::InputsView& inputs) {
    PyRef list = PyRef::steal(PyList_New(inputs.size()));
    if (!list) return nullptr;
    for (uint32_t i = 0; i < inputs.size(); ++i) {
      const ir::NodeId input = inputs[i];
      PyObject* item = input < id && id - input < kRecent
                           ? new_ref(recent_ids_[input % kRecent].get()) : id_to_py(input);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
  }

  PyObject* member_inputs(const ir::StageOpView& member) {
    PyRef list = PyRef::steal(PyList_New(member.arity()));
    if (!list) return nullptr;
    for (uint32_t r = 0; r < member.arity(); ++r) {
      ir::StageRef ref = member.ref(r);
      PyRef index = PyRef::steal(PyLong_FromUnsignedLongLong(ref.index));
      if (!index) return nullptr;
      PyObject* tag = keys_[ref.kind == ir::StageRefKind::Input ? Input : Member].get();
      PyObject* pair = PyTuple_Pack(2, tag, index.get());
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), r, pair);
    }
    return list.release();
  }

  PyObject* member_dict(const ir::StageOpView& member) {
    std::optional<ir::ParsedOpToken> parsed = ir::parse_op_token(member.token());
    if (!parsed) {
      std::string shown = ir::ParamRef::of_str(member.token()).display();
      PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", shown.c_str());
      return nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), keys_[Kind].get(), strs_.get(parsed->kind)) ||
        !set_item(dict.get(), keys_[Name].get(), strs_.get(parsed->name)) ||
        !set_item(dict.get(), keys_[Params].get(), params_to_py(parsed->params.view(), &strs_)) ||
        !set_item(dict.get(), keys_[Inputs].get(), member_inputs(member)))
      return nullptr;
    return dict.release();
  }

  PyObject* stage_members(const ir::NodeKey& node) {
    ir::MembersView members = node.members();
    PyRef list = PyRef::steal(PyList_New(members.size()));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (ir::StageOpView member : members) {
      PyObject* dict = member_dict(member);
      if (dict == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), i++, dict);
    }
    return list.release();
  }

  struct NamedTemplate {
    PyObject* name = nullptr;  // the value the dict holds
    ir::NodeKind kind = ir::NodeKind::Source;
    PyRef dict;
  };
  static constexpr int kKinds = 6;
  static constexpr size_t kNamed = 64;  // the slot takes the mixed address's top 6 bits
  static constexpr ir::NodeId kRecent = 1024;
  PyRef recent_ids_[kRecent];
  PyRef keys_[kKeys];
  PyRef templates_[kKinds];
  NamedTemplate named_[kNamed];
  StrCache strs_;
  ParamDicts params_;
};

}  // namespace

PyObject* graph_store_nodes(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    ir::StoreSnapshot snapshot = store_of(self).snapshot();
    std::vector<bool> marked(snapshot.nodes.size(), false);
    for (ir::NodeId id : snapshot.outputs)
      if (id < marked.size()) marked[id] = true;
    CollectorPacing collector;
    auto builder = std::make_unique<ViewBuilder>();
    if (!builder->init()) return nullptr;
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(snapshot.nodes.size())));
    if (!list) return nullptr;
    // Untracked until full: code the collector runs meanwhile must not find
    // a list with empty places through gc.get_objects.
    PyObject_GC_UnTrack(list.get());
    for (size_t i = 0; i < snapshot.nodes.size(); ++i) {
      PyObject* dict = builder->node_dict(i, snapshot.nodes[i], marked[i]);
      if (dict == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), dict);
      if ((i + 1) % CollectorPacing::kBatch == 0) {
        const int ran = collector.collect_young();
        if (ran < 0) return nullptr;
        if (ran > 0) builder->collector_ran();
      }
    }
    PyObject_GC_Track(list.get());
    return list.release();
  });
}

}  // namespace nodalis::py
