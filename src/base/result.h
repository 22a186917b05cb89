// Result<T, E>: the value-or-expected-error return of every core operation
// that can fail on its input (BadNodeId, DecodeError). Broken invariants are
// exceptions instead (see fault.h).
#pragma once

#include <utility>
#include <variant>

namespace nodalis {

template <class E>
struct Err {
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Err<F> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// For operations whose success carries nothing.
struct Unit {};

}  // namespace nodalis
