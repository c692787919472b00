// Fuzzes the s-expression reader and the pattern reader, compiler and
// matcher behind them. Errors must carry one-based positions; an accepted
// pattern must be a well-formed compact term whose compiled program can
// search an e-graph, and every match must bind each of its variables.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "eqsat/egraph.hpp"
#include "eqsat/pattern.hpp"
#include "eqsat/sexp.hpp"
#include "fuzz_check.hpp"

namespace zembrik::eqsat {
namespace {

// A few terms over the operators of the seed patterns: a, b, f(a, b),
// f(b, a), g(f(a, b)), with f(a, b) and f(b, a) merged.
const EGraph& sample_egraph() {
  static const EGraph egraph = [] {
    EGraph g;
    const Id a = g.add(SymbolLang(GlobalSymbol("a"), {}));
    const Id b = g.add(SymbolLang(GlobalSymbol("b"), {}));
    const Id fab = g.add(SymbolLang(GlobalSymbol("f"), {a, b}));
    const Id fba = g.add(SymbolLang(GlobalSymbol("f"), {b, a}));
    g.add(SymbolLang(GlobalSymbol("g"), {fab}));
    g.union_(fab, fba);
    g.rebuild();
    return g;
  }();
  return egraph;
}

void check_term(const PatternAst& term) {
  FUZZ_REQUIRE(term.size() > 0);
  for (std::size_t i = 0; i < term.size(); ++i) {
    if (const auto* node = std::get_if<SymbolLang>(&term.nodes[i])) {
      for (const Id child : node->children()) FUZZ_REQUIRE(child < i);
    }
  }
}

void check_pattern(const Pattern& pattern) {
  check_term(pattern.ast());
  FUZZ_REQUIRE(compact(pattern.ast()) == pattern.ast());
  const std::vector<Var> vars = pattern.vars();
  constexpr std::size_t kLimit = 100;
  std::size_t found = 0;
  for (const SearchMatches& matches : pattern.search_with_limit(sample_egraph(), kLimit)) {
    for (const Subst& subst : matches.substitutions) {
      for (const Var var : vars) FUZZ_REQUIRE(subst.get(var).has_value());
      ++found;
    }
  }
  FUZZ_REQUIRE(found <= kLimit);
}

}  // namespace
}  // namespace zembrik::eqsat

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zembrik::eqsat;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const zembrik::Result<Sexp, ParseError> sexp = parse_str(text);
  if (!sexp) FUZZ_REQUIRE(sexp.error().line >= 1 && sexp.error().col >= 1);
  const zembrik::Result<Pattern, RecExprParseError> pattern = read_pattern(text);
  if (!pattern) {
    (void)to_string(pattern.error());
    return 0;
  }
  check_pattern(pattern.value());
  return 0;
}
