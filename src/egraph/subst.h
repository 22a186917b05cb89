// Var, a pattern variable, and Subst, one match's variable bindings. A Subst
// is a short list searched linearly; three bindings fit inline, which covers
// every rule this system writes.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <utility>

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

  // Written out so that a substitution made in place is not zeroed first.
  Subst() noexcept {}

  size_t size() const noexcept { return bindings_.size(); }
  bool empty() const noexcept { return bindings_.empty(); }

  const Binding& at(size_t k) const noexcept { return bindings_[k]; }

  // Binds v to id, replacing an earlier binding of v; returns the old id if any.
  std::optional<Id> insert(Var v, Id id) {
    for (Binding& b : bindings_) {
      if (b.first == v) return std::exchange(b.second, id);
    }
    bindings_.emplace_back(v, id);
    return std::nullopt;
  }
  // Binds a variable the caller knows is not bound yet, without looking.
  void bind_unbound(Var v, Id id) { bindings_.emplace_back(v, id); }

  std::optional<Id> get(Var v) const noexcept {
    for (const Binding& b : bindings_) {
      if (b.first == v) return b.second;
    }
    return std::nullopt;
  }

  // Indexing by a variable the substitution does not bind is an internal fault.
  Id operator[](Var v) const {
    if (auto id = get(v)) return *id;
    throw InternalFault("No such variable " + v.text() + " in substitution");
  }

  friend bool operator==(const Subst& a, const Subst& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
      if (a.at(k) != b.at(k)) return false;
    }
    return true;
  }

 private:
  SmallVec<Binding, 3> bindings_;
};

// The substitutions found in one class, the first two inline: a class holds
// both operand orders of a commutative node once the rule has run, so two is
// as common as one.
using SubstList = SmallVec<Subst, 2>;

}  // namespace nodalis::egraph
