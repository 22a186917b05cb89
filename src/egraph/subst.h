// Var, a pattern variable, and Subst, one match's variable bindings. A Subst
// is a short list searched linearly; three bindings fit inline, which covers
// every rule this system writes.
#pragma once

#include <array>
#include <compare>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "base/result.h"
#include "egraph/id.h"
#include "egraph/small_vec.h"
#include "egraph/symbol_table.h"

namespace nodalis::egraph {

// Held as the symbol of its full text, the leading "?" included.
struct Var {
  GlobalSymbol sym;

  static Result<Var, std::string> parse(std::string_view text) {
    if (text.empty() || text.front() != '?') {
      return Err{std::string("pattern variable " + std::string(text) + " should have a leading question mark")};
    }
    return Var{SymbolTable::intern(text)};
  }
  std::string text() const { return SymbolTable::display(sym); }

  friend bool operator==(Var, Var) noexcept = default;
  friend auto operator<=>(Var, Var) noexcept = default;
};

class Subst {
 public:
  using Binding = std::pair<Var, Id>;

  size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }

  const Binding& at(size_t k) const noexcept { return k < kInline ? inline_[k] : more_[k - kInline]; }

  // Binds v to id, replacing an earlier binding of v; returns the old id if any.
  std::optional<Id> insert(Var v, Id id) {
    for (size_t k = 0; k < n_; ++k) {
      Binding& b = slot(k);
      if (b.first == v) return std::exchange(b.second, id);
    }
    if (n_ < kInline) {
      inline_[n_] = {v, id};
    } else {
      more_.emplace_back(v, id);
    }
    ++n_;
    return std::nullopt;
  }

  std::optional<Id> get(Var v) const noexcept {
    for (size_t k = 0; k < n_; ++k) {
      if (at(k).first == v) return at(k).second;
    }
    return std::nullopt;
  }

  // Indexing by a variable the substitution does not bind is an internal fault.
  Id operator[](Var v) const {
    if (auto id = get(v)) return *id;
    throw InternalFault("No such variable " + v.text() + " in substitution");
  }

  friend bool operator==(const Subst& a, const Subst& b) {
    if (a.n_ != b.n_) return false;
    for (size_t k = 0; k < a.n_; ++k) {
      if (a.at(k) != b.at(k)) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kInline = 3;
  Binding& slot(size_t k) noexcept { return k < kInline ? inline_[k] : more_[k - kInline]; }

  uint32_t n_ = 0;
  std::array<Binding, kInline> inline_{};
  std::vector<Binding> more_;
};

// The substitutions found in one class, the first two inline: a class holds
// both operand orders of a commutative node once the rule has run, so two is
// as common as one.
using SubstList = SmallVec<Subst, 2>;

}  // namespace nodalis::egraph
