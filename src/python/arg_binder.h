// The one argument binder every Python-facing callable goes through: it maps
// positional and keyword arguments onto a fixed parameter list and reports
// binding errors in the interpreter's own words, naming "Class.method()".
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "python/text_signature.h"

namespace nodalis::py {

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

// A copy made character by character. GCC 12 under LTO cannot stream a
// constant that is a plain copy of a part of another (an internal compiler
// error) once the address of one of its arrays is taken; this one it can.
constexpr SignatureNames copy_of(const SignatureNames& from) {
  SignatureNames to;
  for (size_t i = 0; i <= kMaxQualname; ++i) to.qualname[i] = from.qualname[i];
  for (int k = 0; k < kMaxParams; ++k)
    for (size_t i = 0; i <= kMaxParamName; ++i) to.names[k][i] = from.names[k][i];
  return to;
}

// The owner of a free function: no class. An empty text rather than a null
// pointer, since GCC 12 with UBSan cannot compare an object's address to null
// in a constant expression.
inline constexpr char kNoClass[] = "";

// The signature a docstring starts with, read when the program is compiled:
// `Doc` is the callable's docstring and `ClassDoc`, for a method, its class's,
// whose signature gives the class name ("GraphStore.add_op").
template <const char* Doc, const char* ClassDoc = kNoClass>
struct DocSignature {
  static constexpr TextSignature text = parse_text_signature(Doc, signature_name(ClassDoc));
  static_assert(text.error == SignatureError::None,
                "the docstring does not start with a signature the binder can take");
  static constexpr SignatureNames texts = copy_of(text.texts);
  static constexpr const char* names[kMaxParams] = {
      texts.names[0], texts.names[1], texts.names[2], texts.names[3],
      texts.names[4], texts.names[5], texts.names[6], texts.names[7]};
  static_assert(kMaxParams == 8, "names lists one entry per parameter the binder holds");
  static constexpr Signature value = {texts.qualname,    names, text.positional, text.required,
                                      text.keyword_only, text.required_keyword_only};
};
template <const char* Doc, const char* ClassDoc = kNoClass>
inline constexpr Signature signature_of = DocSignature<Doc, ClassDoc>::value;

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
