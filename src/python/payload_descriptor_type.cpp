// The PayloadDescriptor class: keyword-only constructor, six read-only
// attributes, identity comparison and hash (it defines none of its own), and
// pickling through its fields.
#include "python/payload_descriptor_type.h"

#include <new>
#include <string>
#include <utility>

#include "python/call_boundary.h"
#include "python/descriptor_conversions.h"
#include "python/docstrings.h"
#include "python/frozen_type.h"
#include "python/py_ref.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {
namespace {

struct PayloadDescriptorObject {
  PyObject_HEAD
  ir::PayloadDescriptor descriptor;
};

PayloadDescriptorObject* as_object(PyObject* o) noexcept {
  return reinterpret_cast<PayloadDescriptorObject*>(o);
}

constexpr Signature kConstructor = signature_of<doc::payload_descriptor::kClass>;

PyObject* payload_descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* owner = reinterpret_cast<PyObject*>(type);
  return bound_call(owner, kConstructor, args, kwargs, [&](const BoundArgs& a) -> PyObject* {
    ir::PayloadDescriptor d;
    std::string* required[] = {&d.kind, &d.content_hash, &d.framework, &d.version,
                               &d.io_schema};
    for (int i = 0; i < 5; ++i)
      if (!str_from_py(a[i], *required[i])) {
        argument_error(kConstructor.names[i]);
        return nullptr;
      }
    if (PyObject* pre = a.optional(5)) {
      std::string text;
      if (!str_from_py(pre, text)) {
        argument_error(kConstructor.names[5]);
        return nullptr;
      }
      d.preprocessing_ref = std::move(text);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_object(self)->descriptor) ir::PayloadDescriptor(std::move(d));
    return self;
  });
}

void payload_descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_object(self)->descriptor.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

template <std::string ir::PayloadDescriptor::*Field>
PyObject* get_text(PyObject* self, void*) {
  return str_to_py(as_object(self)->descriptor.*Field);
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& pre = as_object(self)->descriptor.preprocessing_ref;
  return pre ? str_to_py(*pre) : new_ref(Py_None);
}

// The constructor takes keywords only, which a plain (callable, args) pair
// cannot pass; copyreg.__newobj_ex__ calls it with the field dict, and pickle
// knows it under every protocol.
PyObject* payload_descriptor_reduce(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    PyRef fields = PyRef::steal(descriptor_to_py(ir::view_of(as_object(self)->descriptor)));
    if (!fields) return nullptr;
    PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return nullptr;
    PyRef newobj = PyRef::steal(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    if (!newobj) return nullptr;
    return Py_BuildValue("(O(O()O))", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         fields.get());
  });
}

PyMethodDef payload_descriptor_methods[] = {
    {"__reduce__", payload_descriptor_reduce, METH_NOARGS,
     checked_doc("__reduce__", doc::payload_descriptor::reduce_for_pickle)},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef payload_descriptor_getset[] = {
    {"kind", get_text<&ir::PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_text<&ir::PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_text<&ir::PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_text<&ir::PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_text<&ir::PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot payload_descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::payload_descriptor::kClass)},
    {Py_tp_new, reinterpret_cast<void*>(payload_descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(payload_descriptor_dealloc)},
    {Py_tp_getset, payload_descriptor_getset},
    {Py_tp_methods, payload_descriptor_methods},
    {0, nullptr},
};

PyType_Spec payload_descriptor_spec = {
    "nodalis_core.PayloadDescriptor",
    sizeof(PayloadDescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | kFrozen,
    payload_descriptor_slots,
};

}  // namespace

PyObject* make_payload_descriptor_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &payload_descriptor_spec, nullptr);
}

bool is_payload_descriptor(PyObject* o) noexcept {
  return Py_TYPE(o)->tp_dealloc == payload_descriptor_dealloc;
}

const ir::PayloadDescriptor& descriptor_of(PyObject* o) noexcept {
  return as_object(o)->descriptor;
}

}  // namespace nodalis::py
