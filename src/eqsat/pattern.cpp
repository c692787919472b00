#include "eqsat/pattern.hpp"

#include <algorithm>

#include "base/failure.hpp"

namespace zembrik::eqsat {

Pattern::Pattern(const PatternAst& term) : ast_(compact(term)), program_(compile_from_pat(ast_)) {}

std::vector<Var> Pattern::vars() const {
  std::vector<Var> vars;
  for (const ENodeOrVar& entry : ast_.nodes) {
    const Var* var = std::get_if<Var>(&entry);
    if (var != nullptr && std::find(vars.begin(), vars.end(), *var) == vars.end()) {
      vars.push_back(*var);
    }
  }
  return vars;
}

std::optional<SearchMatches> Pattern::search_eclass(const EGraph& egraph, Id eclass,
                                                    std::size_t limit, Machine& machine) const {
  std::vector<Subst> substitutions = run_with_limit(program_, egraph, eclass, limit, machine);
  if (substitutions.empty()) return std::nullopt;
  return SearchMatches{eclass, std::move(substitutions), &ast_};
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph,
                                                      std::size_t limit) const {
  std::vector<SearchMatches> found;
  Machine machine;
  auto visit = [&](std::span<const Id> classes) {
    for (const Id eclass : classes) {
      if (limit == 0) break;
      std::optional<SearchMatches> matches = search_eclass(egraph, eclass, limit, machine);
      if (!matches) continue;
      if (matches->substitutions.size() > limit) fail("A class search went past its limit");
      limit -= matches->substitutions.size();
      found.push_back(std::move(*matches));
    }
  };
  const auto* root = std::get_if<SymbolLang>(&ast_.root());
  // Visiting only the classes indexed under the root operator must not hide
  // a dirty e-graph that a visit of every indexed class would have caught.
  const std::size_t candidates = root ? egraph.class_index_size() : egraph.class_count();
  if (limit > 0 && candidates > 0 && !egraph.is_clean()) fail("Tried to search a dirty e-graph!");
  // A class without a member of the root operator cannot match.
  if (root) {
    visit(egraph.class_index(root->op()));
  } else {
    visit(egraph.class_ids());
  }
  return found;
}

Result<Pattern, RecExprParseError> read_pattern(std::string_view text) {
  auto term = read_pattern_ast(text);
  if (!term) return term.error();
  return Pattern(term.value());
}

}  // namespace zembrik::eqsat
