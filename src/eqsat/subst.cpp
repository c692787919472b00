#include "eqsat/subst.hpp"

#include <string>

#include "base/failure.hpp"

namespace zembrik::eqsat {

std::optional<Id> Subst::insert(Var var, Id id) {
  for (Pair& pair : pairs_) {
    if (pair.first == var) return std::exchange(pair.second, id);
  }
  pairs_.push_back(Pair{var, id});
  return std::nullopt;
}

Id Subst::operator[](Var var) const {
  const Pair* pair = find(var);
  if (pair == nullptr) fail("No class bound to variable " + std::string(var.symbol.as_str()));
  return pair->second;
}

}  // namespace zembrik::eqsat
