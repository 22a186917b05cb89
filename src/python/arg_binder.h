// The one argument binder every Python-facing callable goes through: it maps
// positional and keyword arguments onto a fixed parameter list and reports
// binding errors in the interpreter's own words, naming "Class.method()".
#pragma once

#include <Python.h>

#include <cstdint>

namespace nodalis::py {

inline constexpr int kMaxParams = 8;

// A callable's parameter list: `positional` parameters that may be given by
// position or keyword (the first `required` of them without default), then
// `keyword_only` ones (the first `required_keyword_only` without default).
// Every default is None (or False), which the conversions treat alike.
struct Signature {
  const char* qualname;  // "GraphStore.add_op"; errors print it followed by "()"
  const char* const* names;
  uint8_t positional;
  uint8_t required;
  uint8_t keyword_only;
  uint8_t required_keyword_only;

  constexpr int count() const noexcept { return positional + keyword_only; }
};

// (name, inputs, params=None): positional-or-keyword parameters only.
template <int N>
constexpr Signature positional_signature(const char* qualname, const char* const (&names)[N],
                                         int required) {
  static_assert(N <= kMaxParams);
  return {qualname, names, uint8_t(N), uint8_t(required), 0, 0};
}
// (store, *, maximal_fusion=False, outputs=None): the first `positional`
// names by position or keyword, the rest only by keyword.
template <int N>
constexpr Signature mixed_signature(const char* qualname, const char* const (&names)[N],
                                    int positional, int required, int required_keyword_only) {
  static_assert(N <= kMaxParams);
  return {qualname, names, uint8_t(positional), uint8_t(required), uint8_t(N - positional),
          uint8_t(required_keyword_only)};
}
// A callable without parameters: "GraphStore()".
inline constexpr Signature no_parameters(const char* qualname) {
  return {qualname, nullptr, 0, 0, 0, 0};
}

// The bound arguments, borrowed from the caller, in parameter order; a
// parameter that was not given is null.
class BoundArgs {
 public:
  // The common call: positional arguments only, as many as the parameter
  // list accepts and at least its required ones, and no keyword-only
  // parameter required. Nothing can be wrong with such a call, so it is bound
  // without the general binder; false when the call is not of that shape.
  bool take_plain(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    if (kwnames != nullptr || nargs < sig.required || nargs > sig.positional ||
        sig.required_keyword_only != 0)
      return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = args[i];
    return true;
  }

  PyObject* operator[](int i) const noexcept { return slots_[i]; }
  // Null when not given or given as None: the two mean the same.
  PyObject* optional(int i) const noexcept {
    return slots_[i] == Py_None ? nullptr : slots_[i];
  }

 private:
  friend class Binding;
  PyObject* slots_[kMaxParams] = {};
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS): `nargs` positional
// arguments, then one value per name in `kwnames` (a tuple, or null).
// False with TypeError set on a binding error.
bool bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, BoundArgs& out);
inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, BoundArgs& out) {
  return out.take_plain(sig, args, nargs, kwnames) ||
         bind_general(sig, args, nargs, kwnames, out);
}
// Tuple-and-dict convention (tp_new): `kwargs` may be null.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace nodalis::py
