// S-expressions: the text form of rewrite patterns.
//
// `parse_str` reads exactly one expression from the start of a text and
// ignores whatever follows it. Errors carry one-based line and column numbers
// counted in Unicode characters. Lists nested more than 1000 deep are refused
// ("Nested too deeply"), so that no text can exhaust the stack.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.hpp"

namespace zembrik::eqsat {

struct Sexp {
  using List = std::vector<Sexp>;
  // What an empty input reads as.
  struct Empty {
    friend bool operator==(Empty, Empty) = default;
  };

  // An atom or the contents of a quoted string, a list, or nothing.
  std::variant<std::string, List, Empty> value;

  static Sexp string(std::string text) { return Sexp{std::move(text)}; }
  static Sexp list(List items) { return Sexp{std::move(items)}; }
  friend bool operator==(const Sexp&, const Sexp&) = default;
};

struct ParseError {
  std::string msg;
  unsigned line = 0;  // one-based
  unsigned col = 0;   // one-based
  friend bool operator==(const ParseError&, const ParseError&) = default;
};

[[nodiscard]] Result<Sexp, ParseError> parse_str(std::string_view text);

}  // namespace zembrik::eqsat
