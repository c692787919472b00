// Rewrite: a named rule. Its searcher pattern finds matches; its applier
// pattern is instantiated under each match and merged with the matched class.
//
//   auto rule = Rewrite::make("commute-add",
//                             std::make_shared<const Pattern>(...(op|add ?a ?b)...),
//                             std::make_shared<const Pattern>(...(op|add ?b ?a)...));
#pragma once

#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/result.hpp"
#include "eqsat/egraph.hpp"
#include "eqsat/pattern.hpp"

namespace zembrik::eqsat {

class Rewrite {
 public:
  // Fails with "Rewrite {name} refers to unbound var {var}" when the applier
  // uses a variable the searcher does not bind.
  [[nodiscard]] static Result<Rewrite, std::string> make(std::string name,
                                                         std::shared_ptr<const Pattern> searcher,
                                                         std::shared_ptr<const Pattern> applier);

  [[nodiscard]] GlobalSymbol name() const { return name_; }
  [[nodiscard]] const Pattern& searcher() const { return *searcher_; }
  [[nodiscard]] const Pattern& applier() const { return *applier_; }

 private:
  Rewrite(GlobalSymbol name, std::shared_ptr<const Pattern> searcher,
          std::shared_ptr<const Pattern> applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  GlobalSymbol name_;
  std::shared_ptr<const Pattern> searcher_;
  std::shared_ptr<const Pattern> applier_;
};

// Adds the instance of `applier` for every substitution, in order, and merges
// it with the matched class; the instance's class survives a tie. Returns the
// instances whose union merged two classes.
std::vector<Id> apply_matches(const Pattern& applier, EGraph& egraph,
                              std::span<const SearchMatches> matches);

}  // namespace zembrik::eqsat
