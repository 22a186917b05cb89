// Recognising the rule texts, both as token texts (the engine side) and as op
// keys (the incremental side, which must not pay for a token per node).
#include "optimizer/rule_texts.h"

#include <cstring>

#include "ir/param_value.h"

namespace nodalis::opt {

namespace {

// Bit k set when some rule text is k bytes long. Rule texts are few and of
// few lengths, so most texts of a graph (sources, parameterized ops) are
// told apart by their length alone, before any byte is compared.
constexpr uint64_t length_bit(size_t length) {
  if (length >= 64) throw "a rule text is longer than the length mask is wide";  // fails the build
  return uint64_t{1} << length;
}
constexpr uint64_t rule_text_lengths() {
  uint64_t bits = 0;
  for (std::string_view name : kCommutativeNames) bits |= length_bit(3 + name.size());
  for (std::string_view t : kIdentityTexts) bits |= length_bit(t.size());
  return bits;
}
constexpr uint64_t kRuleTextLengths = rule_text_lengths();

// Equal texts, lengths first: most candidates differ in length, and a string
// view's == goes through a three-way compare call even for those of equal one.
bool same_text(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

RuleRole rule_role(std::string_view text) noexcept {
  if (text.size() >= 64 || ((kRuleTextLengths >> text.size()) & 1) == 0) return RuleRole::None;
  if (!is_op_text(text)) return RuleRole::None;
  std::string_view rest = text.substr(3);
  for (std::string_view name : kCommutativeNames)
    if (same_text(rest, name)) return RuleRole::Commutative;
  for (std::string_view t : kIdentityTexts)
    if (same_text(text, t)) return RuleRole::Identity;
  return RuleRole::None;
}

bool is_commutative_op(const ir::NodeKey& op) noexcept {
  if (op.kind() != ir::NodeKind::Op || !op.params().empty()) return false;
  std::string_view name = op.name();
  for (std::string_view n : kCommutativeNames)
    if (name == n) return true;
  return false;
}

bool is_identity_op(const ir::NodeKey& op) noexcept {
  if (op.kind() != ir::NodeKind::Op) return false;
  std::string_view name = op.name();
  uint64_t unit_bits;
  if (name == "add") {
    unit_bits = 0;  // +0.0 only: -0.0 has other bits and another token
  } else if (name == "mul") {
    unit_bits = 0x3FF0000000000000ull;
  } else {
    return false;
  }
  ir::ParamMapView params = op.params();
  if (params.size() != 2) return false;
  auto it = params.begin();
  ir::ParamEntryRef scalar = *it;
  ir::ParamEntryRef side = *++it;
  if (scalar.key != "scalar" || scalar.value.tag != ir::ParamTag::Float ||
      ir::canonical_bits_of_raw(scalar.value.bits) != unit_bits)
    return false;
  return side.key == "side" && side.value.tag == ir::ParamTag::Str &&
         (side.value.str == "r" || side.value.str == "l");
}

}  // namespace nodalis::opt
