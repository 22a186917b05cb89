// GlobalSymbol and the process-wide SymbolTable that issues them: equal texts
// give equal symbols for the life of the process, and texts are never freed.
// Interning takes one of 16 shard mutexes, so it is safe from any thread.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nodalis::egraph {

// A 32-bit handle. Interned texts get values below 2^31; the upper half is
// reserved for local symbols, which a caller numbers itself (for example one
// per distinct token of a single reduction) so that texts no rule mentions
// need not grow the process-wide table. A local symbol never equals an
// interned one. The numeric order is used only to sort the nodes of a class.
class GlobalSymbol {
 public:
  static constexpr uint32_t kLocalBit = 0x80000000u;
  static constexpr uint32_t kMaxLocal = 0x7fffffffu;

  constexpr GlobalSymbol() noexcept = default;
  static constexpr GlobalSymbol from_raw(uint32_t value) noexcept { return GlobalSymbol(value); }
  // Local symbol number n (n <= kMaxLocal; larger numbers are an internal fault).
  static GlobalSymbol local(uint32_t n);

  constexpr uint32_t raw() const noexcept { return value_; }
  constexpr bool is_local() const noexcept { return (value_ & kLocalBit) != 0; }

  friend constexpr bool operator==(GlobalSymbol, GlobalSymbol) noexcept = default;
  friend constexpr auto operator<=>(GlobalSymbol, GlobalSymbol) noexcept = default;

 private:
  constexpr explicit GlobalSymbol(uint32_t value) noexcept : value_(value) {}
  uint32_t value_ = 0;
};

class SymbolTable {
 public:
  // The symbol of `text`, interning it on first use.
  static GlobalSymbol intern(std::string_view text);
  // The symbol of `text` if it was interned before; never inserts.
  static std::optional<GlobalSymbol> find(std::string_view text);
  // The interned text; it lives until the process ends. A local symbol, or a
  // value this table never issued, is an internal fault.
  static std::string_view text(GlobalSymbol symbol);
  // For messages: the text, or "#local" + n for a local symbol.
  static std::string display(GlobalSymbol symbol);
  // Number of interned texts so far (all shards).
  static uint64_t size();
};

}  // namespace nodalis::egraph
