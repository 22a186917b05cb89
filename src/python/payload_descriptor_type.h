// The Python class PayloadDescriptor: a frozen holder of one descriptor, the
// reproducibility metadata an external node carries.
#pragma once

#include <Python.h>

#include "ir/payload_descriptor.h"

namespace nodalis::py {

// Creates the class for `module` (a new reference), or null with an error set.
PyObject* make_payload_descriptor_type(PyObject* module);

// True for instances of the class from any module instance: the class cannot
// be subclassed, so its instances are exactly the objects using its deallocator.
bool is_payload_descriptor(PyObject* o) noexcept;
// Precondition: is_payload_descriptor(o).
const ir::PayloadDescriptor& descriptor_of(PyObject* o) noexcept;

}  // namespace nodalis::py
