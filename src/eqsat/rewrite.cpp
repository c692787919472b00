#include "eqsat/rewrite.hpp"

#include <algorithm>

namespace zembrik::eqsat {

Result<Rewrite, std::string> Rewrite::make(std::string name,
                                           std::shared_ptr<const Pattern> searcher,
                                           std::shared_ptr<const Pattern> applier) {
  const std::vector<Var> bound = searcher->vars();
  for (const Var var : applier->vars()) {
    if (std::find(bound.begin(), bound.end(), var) == bound.end()) {
      return "Rewrite " + name + " refers to unbound var " + std::string(var.symbol.as_str());
    }
  }
  return Rewrite(GlobalSymbol(std::move(name)), std::move(searcher), std::move(applier));
}

std::vector<Id> apply_matches(const Pattern& applier, EGraph& egraph,
                              std::span<const SearchMatches> matches) {
  const PatternAst& term = applier.ast();
  std::vector<Id> instance_of(term.size());  // reused across substitutions
  std::vector<Id> merged;
  for (const SearchMatches& found : matches) {
    for (const Subst& subst : found.substitutions) {
      for (std::size_t k = 0; k < term.size(); ++k) {
        if (const Var* var = std::get_if<Var>(&term.nodes[k])) {
          instance_of[k] = subst[*var];
          continue;
        }
        SymbolLang node = std::get<SymbolLang>(term.nodes[k]);
        for (Id& child : node.children()) child = instance_of[child];
        instance_of[k] = egraph.add(std::move(node));
      }
      const Id instance = instance_of.back();
      if (egraph.union_(instance, found.class_id)) merged.push_back(instance);
    }
  }
  return merged;
}

}  // namespace zembrik::eqsat
