// The sound rules that canonicalization applies, written down once: the
// saturation engine builds its patterns from them and the incremental
// reducer its predicates, so the two cannot drift apart.
#pragma once

#include <array>
#include <string>
#include <string_view>
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

// The rules read from an Op's fields, for keys whose token is never built.
bool is_identity(const Op& op);
bool is_commutative(const Op& op);

}  // namespace zembrik
