// StrCache: the str objects of texts a result meets again and again (names,
// kinds, parameter keys, short string values). Equal texts then share one
// object, which spares the allocation and the memory; the cache is
// direct-mapped, so it stays small whatever the graph.
#pragma once

#include <Python.h>

#include <cstring>
#include <string_view>

#include "python/py_ref.h"

namespace nodalis::py {

class StrCache {
 public:
  StrCache() = default;
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;

  // A new reference to a str equal to `text` (which is valid UTF-8), or null
  // with an error set.
  PyObject* get(std::string_view text) {
    bool reused;
    return get(text, reused);
  }
  // The same, telling whether the str came from the cache: the text was met
  // before, and the same text will likely give the same object again.
  PyObject* get(std::string_view text, bool& reused) {
    reused = false;
    if (text.size() > kMaxCached)
      return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    PyRef& slot = slots_[slot_of(text)];
    PyObject* s = slot.get();
    // Only ASCII texts are kept, so the str's characters are the text's bytes.
    // An empty view may hold no pointer at all, which memcmp must not get.
    if (s != nullptr && size_t(PyUnicode_GET_LENGTH(s)) == text.size() &&
        (text.empty() || std::memcmp(PyUnicode_DATA(s), text.data(), text.size()) == 0)) {
      reused = true;
      return new_ref(s);
    }
    PyObject* made = PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    if (made != nullptr && PyUnicode_IS_ASCII(made)) slot = PyRef::borrow(made);
    return made;
  }

 private:
  static constexpr size_t kSlots = 256;
  static constexpr size_t kMaxCached = 48;

  static size_t slot_of(std::string_view text) noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
    for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;
    return size_t(h ^ (h >> 29)) % kSlots;
  }

  PyRef slots_[kSlots];
};

}  // namespace nodalis::py
