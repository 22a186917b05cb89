// The flag that makes the module's classes immutable (no attribute may be set
// on the class itself). Before Python 3.10 heap types have no such flag, so
// there the classes stay settable.
#pragma once

#include <Python.h>

namespace nodalis::py {

#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned kFrozen = Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned kFrozen = 0;
#endif

}  // namespace nodalis::py
