// Payload descriptor conversions: a dict is read under its lock, so the six
// fields come from one state of it.
#include "python/descriptor_conversions.h"

#include <string>

#include "python/object_lock.h"
#include "python/payload_descriptor_type.h"
#include "python/py_ref.h"
#include "python/scalar_conversions.h"

namespace nodalis::py {

namespace {

// Looks `field` up in the dict: a strong reference, or null when absent
// (check PyErr_Occurred).
PyRef dict_field(PyObject* dict, const char* field) {
  PyRef key = PyRef::steal(PyUnicode_InternFromString(field));
  if (!key) return {};
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key.get(), &value) < 0) return {};
  return PyRef::steal(value);
#else
  return PyRef::borrow(PyDict_GetItemWithError(dict, key.get()));
#endif
}

}  // namespace

bool descriptor_from_py(PyObject* o, ir::PayloadDescriptor& out) {
  if (is_payload_descriptor(o)) {
    out = descriptor_of(o);
    return true;
  }
  if (!PyDict_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  // All six fields from one state of the dict, whatever other threads do.
  ObjectLock lock(o);
  PyRef pre = dict_field(o, "preprocessing_ref");
  if (!pre && PyErr_Occurred()) return false;
  if (pre && pre.get() != Py_None) {
    std::string text;
    if (!str_from_py(pre.get(), text)) return false;
    out.preprocessing_ref = std::move(text);
  } else {
    out.preprocessing_ref.reset();
  }
  static constexpr const char* kRequired[] = {"kind", "content_hash", "framework", "version",
                                               "io_schema"};
  std::string* fields[] = {&out.kind, &out.content_hash, &out.framework, &out.version,
                           &out.io_schema};
  for (int i = 0; i < 5; ++i) {
    PyRef value = dict_field(o, kRequired[i]);
    if (!value) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", kRequired[i]);
      return false;
    }
    if (!str_from_py(value.get(), *fields[i])) return false;
  }
  return true;
}

PyObject* descriptor_to_py(const ir::PayloadDescriptorView& d) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::string_view* texts[] = {&d.kind, &d.content_hash, &d.framework, &d.version,
                                     &d.io_schema};
  static constexpr const char* kKeys[] = {"kind", "content_hash", "framework", "version",
                                          "io_schema"};
  for (int i = 0; i < 5; ++i) {
    PyRef value = PyRef::steal(str_to_py(*texts[i]));
    if (!value || PyDict_SetItemString(dict.get(), kKeys[i], value.get()) < 0) return nullptr;
  }
  PyRef pre = d.preprocessing_ref ? PyRef::steal(str_to_py(*d.preprocessing_ref))
                                  : PyRef::borrow(Py_None);
  if (!pre || PyDict_SetItemString(dict.get(), "preprocessing_ref", pre.get()) < 0)
    return nullptr;
  return dict.release();
}

}  // namespace nodalis::py
