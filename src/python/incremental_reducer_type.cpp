// IncrementalReducer: life cycle, the methods and the method table. Every
// method runs under the reducer's mutex (taken inside LockedReducer); step and
// finalize reach the store only through its own locked snapshot.
#include "python/incremental_reducer_type.h"

#include <memory>
#include <string>
#include <variant>

#include "base/fault.h"

#include "optimizer/locked_reducer.h"
#include "optimizer/saturation_engine.h"
#include "python/call_boundary.h"
#include "python/docstrings.h"
#include "python/frozen_type.h"
#include "python/graph_store_type.h"
#include "python/py_ref.h"
#include "python/reduction_args.h"

namespace nodalis::py {
namespace {

struct ReducerObject {
  PyObject_HEAD
  opt::LockedReducer* reducer;
};

opt::LockedReducer& reducer_of(PyObject* o) noexcept {
  return *reinterpret_cast<ReducerObject*>(o)->reducer;
}

constexpr Signature kConstructor = signature_of<doc::incremental_reducer::kClass>;
constexpr Signature kStep = signature_of<doc::incremental_reducer::step, doc::incremental_reducer::kClass>;
constexpr Signature kFinalize =
    signature_of<doc::incremental_reducer::finalize, doc::incremental_reducer::kClass>;
constexpr Signature kFinalizePlan =
    signature_of<doc::incremental_reducer::finalize_plan, doc::incremental_reducer::kClass>;

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* owner = reinterpret_cast<PyObject*>(type);
  return bound_call(owner, kConstructor, args, kwargs, [&](const BoundArgs&) -> PyObject* {
    auto reducer = std::make_unique<opt::LockedReducer>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ReducerObject*>(self)->reducer = reducer.release();
    return self;
  });
}

void reducer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ReducerObject*>(self)->reducer;
  type->tp_free(self);
  Py_DECREF(type);
}

// The Python exception for a refused step or finalize.
PyObject* refusal_err(const opt::Refusal& refusal) {
  if (const auto* bad = std::get_if<ir::BadNodeId>(&refusal)) return raise_bad_node_id(*bad);
  PyErr_SetString(PyExc_ValueError,
                  "this IncrementalReducer follows another GraphStore: a reducer must always be fed "
                  "the store it was first given");
  return nullptr;
}

PyObject* reducer_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound_call(self, kStep, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    if (!graph_store_arg("store", a[0])) return nullptr;
    auto consumed = reducer_of(self).step(store_of(a[0]));
    if (!consumed) return refusal_err(consumed.error());
    return PyLong_FromUnsignedLongLong(consumed.value());
  });
}

// finalize and finalize_plan: the same call, told apart by what they return.
PyObject* finalize_call(const Signature& sig, bool with_outputs, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound_call(self, sig, args, nargs, kwnames, [&](const BoundArgs& a) -> PyObject* {
    if (!graph_store_arg("store", a[0])) return nullptr;
    opt::FusionRule fusion;
    if (!fusion_arg(a[1], fusion)) return nullptr;
    OutputsArg outputs;
    if (!outputs_arg(a[2], outputs)) return nullptr;
    const opt::SaturationEngine& engine = opt::SaturationEngine::shared();
    auto result = reducer_of(self).finalize(store_of(a[0]), outputs.list(), engine, fusion);
    if (!result) return refusal_err(result.error());
    return reduction_to_py(Py_TYPE(a[0]), std::move(result).value(), with_outputs);
  });
}

PyObject* reducer_finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return finalize_call(kFinalize, false, self, args, nargs, kwnames);
}

PyObject* reducer_finalize_plan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return finalize_call(kFinalizePlan, true, self, args, nargs, kwnames);
}

PyObject* reducer_watermark(PyObject* self, PyObject*) {
  return guarded(self, [&] { return PyLong_FromUnsignedLongLong(reducer_of(self).watermark()); });
}

PyObject* reducer_total_work(PyObject* self, PyObject*) {
  return guarded(self, [&] { return PyLong_FromUnsignedLongLong(reducer_of(self).total_work()); });
}

PyObject* reducer_canonical_count(PyObject* self, PyObject*) {
  return guarded(self, [&] {
    return PyLong_FromUnsignedLongLong(reducer_of(self).canonical_count());
  });
}

// A repr must not fail, so a reducer that an earlier fault poisoned says so
// instead of raising that fault again.
PyObject* reducer_repr(PyObject* self) {
  return guarded(self, [&]() -> PyObject* {
    std::string text;
    try {
      opt::LockedReducer& r = reducer_of(self);
      text = "<IncrementalReducer watermark " + std::to_string(r.watermark()) + ", canonical " +
             std::to_string(r.canonical_count()) + ">";
    } catch (const InternalFault&) {
      text = "<IncrementalReducer poisoned>";
    }
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

#define NODALIS_FASTCALL(name) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reducer_##name)), \
   METH_FASTCALL | METH_KEYWORDS, checked_doc(#name, doc::incremental_reducer::name)}
#define NODALIS_NOARGS(name) \
  {#name, reducer_##name, METH_NOARGS, checked_doc(#name, doc::incremental_reducer::name)}

PyMethodDef reducer_methods[] = {
    NODALIS_FASTCALL(step),
    NODALIS_NOARGS(watermark),
    NODALIS_NOARGS(total_work),
    NODALIS_NOARGS(canonical_count),
    NODALIS_FASTCALL(finalize),
    NODALIS_FASTCALL(finalize_plan),
    {nullptr, nullptr, 0, nullptr},
};

#undef NODALIS_FASTCALL
#undef NODALIS_NOARGS

PyType_Slot reducer_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::incremental_reducer::kClass)},
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(reducer_repr)},
    {Py_tp_methods, reducer_methods},
    {0, nullptr},
};

PyType_Spec reducer_spec = {
    "nodalis_core.IncrementalReducer",
    sizeof(ReducerObject),
    0,
    Py_TPFLAGS_DEFAULT | kFrozen,
    reducer_slots,
};

}  // namespace

PyObject* make_incremental_reducer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &reducer_spec, nullptr);
}

}  // namespace nodalis::py
