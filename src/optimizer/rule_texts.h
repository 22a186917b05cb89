// The texts the canonicalizing rules are written in: the eight commutative
// operator names and the four identity tokens. The saturation engine builds its
// rules from them and the incremental reducer applies the same rules by hand,
// so both read them from here.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "ir/node_key.h"

namespace nodalis::opt {

// In rule order: "commute-add" is rule 0, ..., "commute-minimum" rule 7.
inline constexpr std::array<std::string_view, 8> kCommutativeNames = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// "identity-k" is rule 8 + k.
inline constexpr std::array<std::string_view, 4> kIdentityTexts = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

// What a rule can do with a node of a given engine text.
enum class RuleRole : uint8_t {
  None,         // no rule mentions the text
  Commutative,  // "op|" + one of the eight names, no parameters
  Identity,     // one of the four identity tokens
};

RuleRole rule_role(std::string_view text) noexcept;

// True for an element-wise op token; everything else is opaque to the rules.
// Byte by byte: every text a reduction enters is tested, and comparing the
// prefix as a string view costs a call that outweighs the test.
inline bool is_op_text(std::string_view text) noexcept {
  return text.size() >= 3 && text[0] == 'o' && text[1] == 'p' && text[2] == '|';
}

// The same tests on an op key, without building its token (tokens are
// injective on name and params, so these agree with the texts above).
bool is_commutative_op(const ir::NodeKey& op) noexcept;  // ignores the input count
bool is_identity_op(const ir::NodeKey& op) noexcept;     // ignores the input count

}  // namespace nodalis::opt
