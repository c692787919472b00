// Pattern: a compacted pattern term with its compiled matcher. Patterns are
// immutable and shared by reference between rules and search results.
//
//   auto read = read_pattern("(op|add ?a ?b)");
//   const Pattern& pattern = read.value();
//   egraph.rebuild();
//   auto matches = pattern.search_with_limit(egraph, 1001);
#pragma once

#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.hpp"
#include "eqsat/egraph.hpp"
#include "eqsat/language.hpp"
#include "eqsat/machine.hpp"
#include "eqsat/pattern_reader.hpp"

namespace zembrik::eqsat {

class Pattern {
 public:
  // Compacts the term, then compiles it.
  explicit Pattern(const PatternAst& term);

  [[nodiscard]] const PatternAst& ast() const { return ast_; }
  [[nodiscard]] const Program& program() const { return program_; }
  // The distinct variables, in order of first appearance.
  [[nodiscard]] std::vector<Var> vars() const;

  // Matches over the whole e-graph, at most `limit` substitutions in all.
  // Classes are visited in ascending id order, so a capped search keeps the
  // same matches whatever the hash tables look like.
  [[nodiscard]] std::vector<SearchMatches> search_with_limit(const EGraph& egraph,
                                                             std::size_t limit) const;

 private:
  std::optional<SearchMatches> search_eclass(const EGraph& egraph, Id eclass, std::size_t limit,
                                             Machine& machine) const;

  PatternAst ast_;
  Program program_;
};

// Reads, compacts and compiles pattern text.
[[nodiscard]] Result<Pattern, RecExprParseError> read_pattern(std::string_view text);

}  // namespace zembrik::eqsat
