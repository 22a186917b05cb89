// Reads the text signature that starts a docstring ("add_op($self, name,
// inputs, params=None)\n--\n\n...") at compile time, so that the binder's
// parameter lists come from the docstrings instead of being written again.
// Free of Python.h: it is plain text work, tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nodalis::py {

inline constexpr int kMaxParams = 8;
inline constexpr size_t kMaxParamName = 31;
inline constexpr size_t kMaxQualname = 63;

// Why a docstring's first line is not a signature the binder can take.
enum class SignatureError : uint8_t {
  None,
  NoSignature,           // no "name(...)\n--\n\n" line
  BadName,               // the callable's name is not an identifier
  TooLong,               // a name longer than the arrays below hold
  TooMany,               // more parameters than the binder holds
  NotPlain,              // "/", "*args", "**kwargs", "a,b", an empty parameter...
  MisplacedSelf,         // "$self" other than first
  MisplacedStar,         // a second "*", or one with nothing after it
  BadDefault,            // a default other than None or False
  RequiredAfterDefault,  // in either group
  Repeated,              // a parameter named twice
};

// The names a text signature gives, copied into arrays so that a constant
// of this type can hand out NUL-terminated names.
struct SignatureNames {
  char qualname[kMaxQualname + 1] = {};
  char names[kMaxParams][kMaxParamName + 1] = {};
};
// What a text signature says.
struct TextSignature {
  SignatureError error = SignatureError::None;
  SignatureNames texts;
  uint8_t positional = 0;             // by position or keyword
  uint8_t required = 0;               // the first `required` positional ones have no default
  uint8_t keyword_only = 0;           // after `*`
  uint8_t required_keyword_only = 0;  // the first ones after `*` without default
};

namespace text_signature_detail {

constexpr bool is_name_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

constexpr bool is_name(std::string_view s) noexcept {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  for (char c : s)
    if (!is_name_char(c)) return false;
  return true;
}

constexpr void copy_into(char* out, std::string_view text) noexcept {
  for (size_t i = 0; i < text.size(); ++i) out[i] = text[i];
}

// string_view::find by index: GCC 12 cannot evaluate the library's pointer
// search in a constant expression once UBSan instruments it.
constexpr size_t find(std::string_view s, std::string_view needle) noexcept {
  for (size_t i = 0; i + needle.size() <= s.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && s[i + k] == needle[k]) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

constexpr bool equal(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace text_signature_detail

// The signature line of `doc`, named `owner.name` when an owner (a class name)
// is given. Only what the binder can take is accepted: parameters by position
// or keyword, then keyword-only ones after `*`, each without default or with
// None or False (which the conversions treat as absent); `$self` first for a
// method. Anything else sets `error`.
constexpr TextSignature parse_text_signature(std::string_view doc, std::string_view owner = {}) {
  using namespace text_signature_detail;
  TextSignature sig;
  const size_t open = find(doc, "(");
  const size_t end = find(doc, ")\n--\n\n");
  if (open == std::string_view::npos || end == std::string_view::npos || end < open) {
    sig.error = SignatureError::NoSignature;
    return sig;
  }
  const std::string_view name = doc.substr(0, open);
  if (!is_name(name)) {
    sig.error = SignatureError::BadName;
    return sig;
  }
  const size_t qualname_size = owner.empty() ? name.size() : owner.size() + 1 + name.size();
  if (qualname_size > kMaxQualname) {
    sig.error = SignatureError::TooLong;
    return sig;
  }
  if (owner.empty()) {
    copy_into(sig.texts.qualname, name);
  } else {
    copy_into(sig.texts.qualname, owner);
    sig.texts.qualname[owner.size()] = '.';
    copy_into(sig.texts.qualname + owner.size() + 1, name);
  }

  std::string_view rest = doc.substr(open + 1, end - open - 1);
  bool keyword_only = false;
  bool seen_default = false;  // in the current group
  int count = 0;
  for (int index = 0; !rest.empty(); ++index) {
    const size_t comma = find(rest, ", ");
    const std::string_view part = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
    if (comma != std::string_view::npos && rest.empty()) {
      sig.error = SignatureError::NotPlain;
      return sig;
    }
    if (part == "$self") {
      if (index != 0) {
        sig.error = SignatureError::MisplacedSelf;
        return sig;
      }
      continue;
    }
    if (part == "*") {
      if (keyword_only || rest.empty()) {
        sig.error = SignatureError::MisplacedStar;
        return sig;
      }
      keyword_only = true;
      seen_default = false;
      continue;
    }
    const size_t eq = find(part, "=");
    const std::string_view param = part.substr(0, eq);
    const bool has_default = eq != std::string_view::npos;
    if (!is_name(param)) {
      sig.error = SignatureError::NotPlain;
      return sig;
    }
    if (has_default && part.substr(eq + 1) != "None" && part.substr(eq + 1) != "False") {
      sig.error = SignatureError::BadDefault;
      return sig;
    }
    if (!has_default && seen_default) {
      sig.error = SignatureError::RequiredAfterDefault;
      return sig;
    }
    if (count == kMaxParams) {
      sig.error = SignatureError::TooMany;
      return sig;
    }
    if (param.size() > kMaxParamName) {
      sig.error = SignatureError::TooLong;
      return sig;
    }
    for (int i = 0; i < count; ++i)
      if (equal(sig.texts.names[i], param)) {
        sig.error = SignatureError::Repeated;
        return sig;
      }
    copy_into(sig.texts.names[count++], param);
    seen_default = seen_default || has_default;
    if (keyword_only) {
      ++sig.keyword_only;
      if (!has_default) ++sig.required_keyword_only;
    } else {
      ++sig.positional;
      if (!has_default) ++sig.required;
    }
  }
  return sig;
}

// The name a docstring's signature gives (a class's, from its own docstring).
constexpr std::string_view signature_name(std::string_view doc) noexcept {
  const size_t open = text_signature_detail::find(doc, "(");
  return open == std::string_view::npos ? std::string_view() : doc.substr(0, open);
}

// The docstring of a method table entry named `name`, which must name the
// same callable; an entry whose docstring names another does not compile.
consteval const char* checked_doc(std::string_view name, const char* doc) {
  if (!text_signature_detail::equal(signature_name(doc), name)) throw "the docstring names another callable";
  return doc;
}

// The same for an entry that takes no arguments (METH_NOARGS), whose
// docstring's signature must then declare none.
consteval const char* checked_noargs_doc(std::string_view name, const char* doc) {
  const TextSignature sig = parse_text_signature(doc);
  if (sig.error != SignatureError::None || sig.positional + sig.keyword_only != 0)
    throw "the docstring declares parameters the entry does not take";
  return checked_doc(name, doc);
}

}  // namespace nodalis::py
