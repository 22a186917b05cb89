// PyRef: the one owning handle for PyObject* in the binding layer. Every new
// reference lands in one at once, so an early return or a C++ exception can
// neither leak nor double-release it.
#pragma once

#include <Python.h>

#include <utility>

namespace nodalis::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null, e.g. a failed API call).
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : o_(std::exchange(o.o_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyRef(std::move(o)).swap(*this);
    return *this;
  }
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const noexcept { return o_; }
  explicit operator bool() const noexcept { return o_ != nullptr; }
  // Hands the reference to the caller (a return value, a stealing API).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(o_, nullptr); }
  void swap(PyRef& o) noexcept { std::swap(o_, o.o_); }

 private:
  explicit PyRef(PyObject* o) noexcept : o_(o) {}
  PyObject* o_ = nullptr;
};

// A new reference to `o` (Py_NewRef exists only from 3.10 on).
inline PyObject* new_ref(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}

}  // namespace nodalis::py
