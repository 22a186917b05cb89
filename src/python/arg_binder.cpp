// Argument binding in the order and words of the interpreter's own function
// calls: keywords first (unexpected, repeated), then too many positional
// arguments, then missing positional, then missing keyword-only ones.
#include "python/arg_binder.h"

#include <cstring>

#include "python/py_ref.h"

namespace nodalis::py {

class Binding {
 public:
  Binding(const Signature& sig, BoundArgs& out) : sig_(sig), slots_(out.slots_) {}

  void take_positional(PyObject* const* args, Py_ssize_t nargs) {
    given_ = nargs;
    Py_ssize_t n = nargs < sig_.positional ? nargs : sig_.positional;
    for (Py_ssize_t i = 0; i < n; ++i) slots_[i] = args[i];
  }

  bool take_keyword(PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig_.qualname);
      return false;
    }
    int index = find(name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   sig_.qualname, name);
      return false;
    }
    if (slots_[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   sig_.qualname, sig_.names[index]);
      return false;
    }
    slots_[index] = value;
    return true;
  }

  bool finish() const {
    if (given_ > sig_.positional) return too_many_positional();
    if (!report_missing(0, sig_.required, "positional")) return false;
    return report_missing(sig_.positional, sig_.positional + sig_.required_keyword_only,
                          "keyword-only");
  }

 private:
  int find(PyObject* name) const {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &len);
    if (text == nullptr) {
      PyErr_Clear();  // an unencodable name matches nothing
      return -1;
    }
    for (int i = 0; i < sig_.count(); ++i) {
      const char* candidate = sig_.names[i];
      if (std::strlen(candidate) == size_t(len) && std::memcmp(candidate, text, size_t(len)) == 0)
        return i;
    }
    return -1;
  }

  bool too_many_positional() const {
    Py_ssize_t kwonly_given = 0;
    for (int i = sig_.positional; i < sig_.count(); ++i) kwonly_given += slots_[i] != nullptr;
    PyRef takes = sig_.required < sig_.positional
                      ? PyRef::steal(PyUnicode_FromFormat("from %d to %d", int(sig_.required),
                                                          int(sig_.positional)))
                      : PyRef::steal(PyUnicode_FromFormat("%d", int(sig_.positional)));
    if (!takes) return false;
    bool plural = sig_.required < sig_.positional || sig_.positional != 1;
    PyRef kwonly = kwonly_given
                       ? PyRef::steal(PyUnicode_FromFormat(
                             " positional argument%s (and %zd keyword-only argument%s)",
                             given_ != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                       : PyRef::steal(PyUnicode_FromString(""));
    if (!kwonly) return false;
    PyErr_Format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd%U %s given",
                 sig_.qualname, takes.get(), plural ? "s" : "", given_, kwonly.get(),
                 given_ == 1 && !kwonly_given ? "was" : "were");
    return false;
  }

  // "'a'", "'a' and 'b'", "'a', 'b', and 'c'" for the missing ones in [from, to).
  bool report_missing(int from, int to, const char* kind) const {
    int missing[kMaxParams];
    int n = 0;
    for (int i = from; i < to; ++i)
      if (slots_[i] == nullptr) missing[n++] = i;
    if (n == 0) return true;
    PyRef list = PyRef::steal(PyUnicode_FromFormat("'%s'", sig_.names[missing[0]]));
    for (int k = 1; k < n && list; ++k) {
      const char* sep = k + 1 < n ? ", " : n == 2 ? " and " : ", and ";
      list = PyRef::steal(
          PyUnicode_FromFormat("%U%s'%s'", list.get(), sep, sig_.names[missing[k]]));
    }
    if (!list) return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required %s argument%s: %U", sig_.qualname,
                 n, kind, n == 1 ? "" : "s", list.get());
    return false;
  }

  const Signature& sig_;
  PyObject** slots_;
  Py_ssize_t given_ = 0;
};

bool bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, BoundArgs& out) {
  Binding b(sig, out);
  b.take_positional(args, nargs);
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (!b.take_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
  }
  return b.finish();
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  Binding b(sig, out);
  b.take_positional(PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value))
      if (!b.take_keyword(name, value)) return false;
  }
  return b.finish();
}

}  // namespace nodalis::py
