// Exception translation at the Python boundary, and the PanicException class
// that carries internal faults to Python past ordinary `except Exception`.
#include "python/call_boundary.h"

#include <exception>
#include <new>

#include "base/fault.h"

namespace nodalis::py {
namespace {

// Process-wide, created by the first module initialisation and never freed:
// the calling layer must reach it from any method without per-module state.
PyObject* panic_exception = nullptr;

}  // namespace

void raise_panic(const char* text) noexcept {
  if (panic_exception == nullptr) {
    // Unreachable after import; still never leave the caller without an error.
    PyErr_SetString(PyExc_SystemError, text);
    return;
  }
  PyErr_SetString(panic_exception, text);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const CapacityError& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("nodalis-core internal fault of unknown type");
  }
}

int add_panic_exception(PyObject* module) noexcept {
  if (panic_exception == nullptr) {
    panic_exception =
        PyErr_NewException("nodalis_core.PanicException", PyExc_BaseException, nullptr);
    if (panic_exception == nullptr) return -1;
  }
  Py_INCREF(panic_exception);
  if (PyModule_AddObject(module, "PanicException", panic_exception) < 0) {
    Py_DECREF(panic_exception);
    return -1;
  }
  return 0;
}

}  // namespace nodalis::py
