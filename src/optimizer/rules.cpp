#include "optimizer/rules.hpp"

#include <algorithm>
#include <bit>
#include <initializer_list>

#include "ir/params.hpp"
#include "ir/token.hpp"

namespace zembrik {
namespace {

// Joins the pieces by appending; "literal" + std::string trips a false GCC 12
// -Wrestrict warning at -O3.
std::string join(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (std::string_view piece : pieces) out += piece;
  return out;
}

// The token the key recorder writes for the identity: the same text the
// engine sees, since it comes from the same encoder.
std::string identity_token(const IdentityRule& rule, std::string_view side) {
  const ParamMap params = ParamMap::from_entries(
      {{"scalar", ParamValue::Float(rule.unit)}, {"side", ParamValue::Str(std::string(side))}});
  return token(NodeKey(Op{std::string(rule.name), params, {0}}));
}

bool holds_unit(const IdentityRule& rule, const Op& op, std::uint64_t scalar_bits,
                std::string_view side) {
  return op.name == rule.name && scalar_bits == std::bit_cast<std::uint64_t>(rule.unit) &&
         std::find(rule.sides.begin(), rule.sides.end(), side) != rule.sides.end();
}

}  // namespace

std::vector<std::string> identity_tokens() {
  std::vector<std::string> tokens;
  for (const IdentityRule& rule : kIdentityRules) {
    for (std::string_view side : rule.sides) tokens.push_back(identity_token(rule, side));
  }
  return tokens;
}

std::vector<RuleText> rule_texts() {
  std::vector<RuleText> rules;
  for (std::string_view op : kCommutativeOps) {
    rules.push_back(
        {join({"commute-", op}), join({"(op|", op, " ?a ?b)"}), join({"(op|", op, " ?b ?a)"})});
  }
  const std::vector<std::string> identities = identity_tokens();
  for (std::size_t k = 0; k < identities.size(); ++k) {
    rules.push_back(
        {join({"identity-", std::to_string(k)}), join({"(", identities[k], " ?x)"}), "?x"});
  }
  return rules;
}

Rule rule_asked_by(const Op& op) {
  if (op.params.empty()) {
    const bool commutes =
        std::find(kCommutativeOps.begin(), kCommutativeOps.end(), op.name) != kCommutativeOps.end();
    return commutes ? Rule::commutative : Rule::none;
  }
  if (op.params.size() != 2) return Rule::none;
  // Entries are sorted by key, and "scalar" sorts before "side".
  const auto& [scalar_key, scalar] = op.params[0];
  const auto& [side_key, side] = op.params[1];
  if (scalar_key != "scalar" || scalar.tag() != ParamValue::Tag::Float) return Rule::none;
  if (side_key != "side" || side.tag() != ParamValue::Tag::Str) return Rule::none;
  const std::uint64_t bits = canonical_float_bits(scalar.as_float());
  const std::string_view side_text = side.as_str();  // lambdas cannot capture bindings in clang 14
  const bool unit =
      std::any_of(kIdentityRules.begin(), kIdentityRules.end(),
                  [&](const IdentityRule& rule) { return holds_unit(rule, op, bits, side_text); });
  return unit ? Rule::identity : Rule::none;
}

Rule rule_asked_by_token(std::string_view token) {
  // An Op without parameters has the token "op|" and its escaped name; the
  // commutative names need no escaping.
  if (token.starts_with("op|") && std::find(kCommutativeOps.begin(), kCommutativeOps.end(),
                                            token.substr(3)) != kCommutativeOps.end()) {
    return Rule::commutative;
  }
  static const std::vector<std::string> identities = identity_tokens();
  const bool unit = std::find(identities.begin(), identities.end(), token) != identities.end();
  return unit ? Rule::identity : Rule::none;
}

}  // namespace zembrik
