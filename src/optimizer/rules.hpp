// The sound rules that canonicalization applies, written down once: the
// saturation engine builds its patterns from them, and the direct engine and
// the incremental reducer apply them through fold_node, so none can drift
// from the others.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ir/node_key.hpp"

namespace zembrik {

// Operator names whose two operands commute, when the Op has no parameters.
inline constexpr std::array<std::string_view, 8> kCommutativeOps = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// A one-operand Op that returns its operand: `name` with exactly the
// parameters scalar=`unit` (bit for bit, so -0.0 is no unit) and side=one of
// `sides`.
struct IdentityRule {
  std::string_view name;
  double unit;
  std::array<std::string_view, 2> sides;
};

inline constexpr std::array<IdentityRule, 2> kIdentityRules = {{
    {"add", 0.0, {"r", "l"}},
    {"mul", 1.0, {"r", "l"}},
}};

// One rewrite as pattern text, in the engine's order: the commutations, then
// the identities rule by rule and side by side.
struct RuleText {
  std::string name;
  std::string searcher;
  std::string applier;
};
std::vector<RuleText> rule_texts();

// The Op token of every identity, in the order of rule_texts.
std::vector<std::string> identity_tokens();

// What the rules make of one node.
enum class Rule : std::uint8_t {
  none,         // equal only to a node with the same operator over the same operands
  identity,     // stands for its one operand
  commutative,  // equal to a node with the same operator over the swapped operands
};

// What an operator asks for, before its operand count is known: read from an
// Op's fields, for keys whose token is never built, or from an operator
// token. The two agree on every Op.
Rule rule_asked_by(const Op& op);
Rule rule_asked_by_token(std::string_view token);

// The rule that applies to a node: an identity needs exactly one operand and
// a commutation exactly two, so any other count leaves the node alone.
constexpr Rule rule_for(Rule asked, std::size_t operands) {
  if (asked == Rule::identity && operands == 1) return asked;
  if (asked == Rule::commutative && operands == 2) return asked;
  return Rule::none;
}

inline Rule rule_of(const Op& op) {
  return rule_for(rule_asked_by(op), op.inputs.size());
}

// The canonical id of a node whose operands are canonical ids already; the
// one place that applies the rules. `find()` looks the node up over
// `operands` as they stand, `intern()` looks it up or adds it. Applied in
// topological order this reaches the fixed point of the rules in one pass: a
// node only ever joins a class, never merges two earlier ones, so no earlier
// decision is undone.
template <class Id, class Find, class Intern>
Id fold_node(Rule rule, std::span<Id> operands, Find&& find, Intern&& intern) {
  if (rule == Rule::identity) return operands[0];
  if (rule == Rule::commutative) {
    // A canonical form never holds both orientations of one pair (the second
    // always maps to the first), so looking for the swapped node first agrees
    // with looking for the node itself first.
    std::swap(operands[0], operands[1]);
    if (const std::optional<Id> found = find()) return *found;
    std::swap(operands[0], operands[1]);
  }
  return intern();
}

}  // namespace zembrik
