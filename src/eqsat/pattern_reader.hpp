// Reading pattern text into a pattern term, and compacting that term.
//
// "(f ?x (g ?x))" reads as the entries ?x, ?x, g(1), f(0, 2): children come
// before their parents and the root is last. Compaction then shares equal
// subterms, giving ?x, g(0), f(0, 1).
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.hpp"
#include "eqsat/language.hpp"
#include "eqsat/sexp.hpp"

namespace zembrik::eqsat {

struct VarParseError {
  struct MissingQuestionMark {
    std::string text;
    friend bool operator==(const MissingQuestionMark&, const MissingQuestionMark&) = default;
  };
  std::variant<MissingQuestionMark> kind;
  friend bool operator==(const VarParseError&, const VarParseError&) = default;
};

struct ENodeOrVarParseError {
  struct BadVar {
    VarParseError error;
    friend bool operator==(const BadVar&, const BadVar&) = default;
  };
  // A variable in head position of a list with arguments.
  struct UnexpectedVar {
    std::string text;
    friend bool operator==(const UnexpectedVar&, const UnexpectedVar&) = default;
  };
  // Refused by the node language; `SymbolLang` accepts every operator text.
  struct BadOp {
    std::string text;
    friend bool operator==(const BadOp&, const BadOp&) = default;
  };
  std::variant<BadVar, UnexpectedVar, BadOp> kind;
  friend bool operator==(const ENodeOrVarParseError&, const ENodeOrVarParseError&) = default;
};

struct RecExprParseError {
  // Empty text, or an empty list anywhere.
  struct EmptySexp {
    friend bool operator==(EmptySexp, EmptySexp) = default;
  };
  // A list whose first element is itself a list (carried here).
  struct HeadList {
    Sexp list;
    friend bool operator==(const HeadList&, const HeadList&) = default;
  };
  struct BadOp {
    ENodeOrVarParseError error;
    friend bool operator==(const BadOp&, const BadOp&) = default;
  };
  struct BadSexp {
    ParseError error;
    friend bool operator==(const BadSexp&, const BadSexp&) = default;
  };
  std::variant<EmptySexp, HeadList, BadOp, BadSexp> kind;
  friend bool operator==(const RecExprParseError&, const RecExprParseError&) = default;
};

// A one-line description, for callers that must report a failed pattern.
std::string to_string(const RecExprParseError& error);

// Reads a variable: more than one byte, beginning with "?".
[[nodiscard]] Result<Var, VarParseError> read_var(std::string_view text);

// Reads pattern text; surrounding Unicode white space is ignored.
[[nodiscard]] Result<PatternAst, RecExprParseError> read_pattern_ast(std::string_view text);

// The equivalent term in which equal entries, repeated variables included,
// occur once. The root stays last.
PatternAst compact(const PatternAst& term);

}  // namespace zembrik::eqsat
