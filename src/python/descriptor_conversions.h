// Payload descriptors between Python (a PayloadDescriptor object or a dict
// of the six fields) and the IR, for External nodes.
#pragma once

#include <Python.h>

#include "ir/payload_descriptor.h"

namespace nodalis::py {

// A PayloadDescriptor object (copied) or a dict with the six fields.
// TypeError "descriptor must be a PayloadDescriptor or dict", ValueError
// "descriptor missing required field 'kind'", or the str conversion's error.
bool descriptor_from_py(PyObject* o, ir::PayloadDescriptor& out);
// A new dict with the six fields, "preprocessing_ref" None when absent.
PyObject* descriptor_to_py(const ir::PayloadDescriptorView& d);

}  // namespace nodalis::py
