// Exception translation at the Python boundary, and the PanicException class
// that carries internal faults to Python past ordinary `except Exception`.
#include "python/call_boundary.h"

#include <exception>
#include <new>

#include "base/fault.h"
#include "python/module_state.h"

namespace nodalis::py {

void raise_panic(PyObject* owner, const char* text) noexcept {
  ModuleState* state = module_state_of(owner);
  if (state == nullptr || state->panic_exception == nullptr) {
    // Only a method called with a foreign receiver gets here; still never
    // leave the caller without an error.
    PyErr_SetString(PyExc_SystemError, text);
    return;
  }
  PyErr_SetString(state->panic_exception, text);
}

void raise_current_exception(PyObject* owner) noexcept {
  try {
    throw;
  } catch (const CapacityError& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(owner, e.what());
  } catch (...) {
    raise_panic(owner, "nodalis-core internal fault of unknown type");
  }
}

int add_panic_exception(PyObject* module) noexcept {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return -1;
  state->panic_exception =
      PyErr_NewException("nodalis_core.PanicException", PyExc_BaseException, nullptr);
  if (state->panic_exception == nullptr) return -1;
  return PyModule_AddObjectRef(module, "PanicException", state->panic_exception);
}

}  // namespace nodalis::py
