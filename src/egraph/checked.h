// Checked<T>: a value or the text of an expected failure (a pattern that does
// not parse, a rule that uses an unbound variable). Broken invariants are
// EngineFault exceptions instead.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace nodalis::egraph {

struct Failure {
  std::string text;
};

template <class T>
class [[nodiscard]] Checked {
 public:
  Checked(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Checked(Failure failure) : v_(std::in_place_index<1>, std::move(failure.text)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const std::string& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, std::string> v_;
};

}  // namespace nodalis::egraph
