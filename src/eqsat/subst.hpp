// Subst: the class each pattern variable stands for in one match. The first
// three pairs live inline, so the usual rule with at most three variables
// allocates nothing per match.
#pragma once

#include <optional>
#include <utility>

#include "base/small_vec.hpp"
#include "eqsat/language.hpp"

namespace zembrik::eqsat {

class Subst {
 public:
  using Pair = std::pair<Var, Id>;

  [[nodiscard]] std::optional<Id> get(Var var) const {
    const Pair* pair = find(var);
    if (pair == nullptr) return std::nullopt;
    return pair->second;
  }

  // Replaces the id of a bound variable and returns the old id, or appends a
  // new pair.
  std::optional<Id> insert(Var var, Id id);

  // The id of a variable that must be bound; an unbound one is an internal
  // failure.
  [[nodiscard]] Id operator[](Var var) const;

  [[nodiscard]] std::size_t size() const { return pairs_.size(); }
  [[nodiscard]] const Pair& at(std::size_t index) const { return pairs_[index]; }

  friend bool operator==(const Subst&, const Subst&) = default;

 private:
  const Pair* find(Var var) const {
    for (const Pair& pair : pairs_) {
      if (pair.first == var) return &pair;
    }
    return nullptr;
  }

  SmallVec<Pair, 3> pairs_;
};

}  // namespace zembrik::eqsat
