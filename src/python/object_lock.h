// ObjectLock: holds a caller's list or dict still while the binding layer reads
// it. Without a GIL another thread may resize or rewrite the object mid-read;
// the interpreter's per-object critical section keeps it whole. With a GIL the
// interpreter lock already does, and the class is empty.
#pragma once

#include <Python.h>

namespace nodalis::py {

class ObjectLock {
 public:
  // `o` may be null (nothing to hold).
  explicit ObjectLock(PyObject* o) noexcept {
#ifdef Py_GIL_DISABLED
    if (o != nullptr) {
      PyCriticalSection_Begin(&section_, o);
      held_ = true;
    }
#else
    (void)o;
#endif
  }
  ~ObjectLock() {
#ifdef Py_GIL_DISABLED
    if (held_) PyCriticalSection_End(&section_);
#endif
  }
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
  bool held_ = false;
#endif
};

}  // namespace nodalis::py
