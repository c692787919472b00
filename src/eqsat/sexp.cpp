#include "eqsat/sexp.hpp"

#include <algorithm>
#include <optional>

#include "base/utf8.hpp"

namespace zembrik::eqsat {
namespace {

// Each open list costs a few stack frames here and wherever the result is
// walked or destroyed, so deeper nesting is refused rather than let overflow
// the stack. Real patterns nest a handful of levels.
constexpr unsigned kMaxDepth = 1000;

// Walks the text one Unicode character at a time, each as long as its lead
// byte says; a stray byte counts as one character, so no input can make the
// reader stall. Every structural character is ASCII, so atoms can be cut out
// of the UTF-8 bytes directly.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Result<Sexp, ParseError> read_expression() {
    skip_blanks();
    if (at_end()) return error("End of file reached");
    switch (peek()) {
      case '"':
        return read_quoted();
      case ')':
        return error("Unexpected )");
      case '(':
        return read_list();
      default:
        return read_atom();
    }
  }

 private:
  bool at_end() const { return position_ >= text_.size(); }
  char peek() const { return text_[position_]; }

  // The current character as text; its bytes may run past a truncated end.
  std::string_view current_character() const {
    const std::size_t length = utf8::sequence_length(static_cast<unsigned char>(peek()));
    return text_.substr(position_, length);
  }

  void consume() {
    if (peek() == '\n') {
      ++line_;
      column_ = 0;
    } else {
      ++column_;
    }
    position_ = std::min(text_.size(),
                         position_ + utf8::sequence_length(static_cast<unsigned char>(peek())));
  }

  ParseError error(std::string msg) const {
    return ParseError{std::move(msg), line_ + 1, column_ + 1};
  }

  // Consumes the next character, which must be `expected`.
  Result<void, ParseError> expect(char expected) {
    if (at_end()) return error("End of file reached");
    const std::string found(current_character());
    consume();
    if (found.size() == 1 && found[0] == expected) return {};
    return error(std::string("expected ") + expected + " got " + found);
  }

  void skip_blanks() {
    while (!at_end() && (peek() == ' ' || peek() == '\t')) consume();
  }

  Result<Sexp, ParseError> read_quoted() {
    if (auto expected = expect('"'); !expected) return expected.error();
    const std::size_t start = position_;
    // A backslash escapes the next character but stays in the text itself.
    bool escaped = false;
    while (!at_end() && (peek() != '"' || escaped)) {
      escaped = peek() == '\\';
      consume();
    }
    const std::size_t end = position_;
    if (auto expected = expect('"'); !expected) return expected.error();
    return Sexp::string(std::string(text_.substr(start, end - start)));
  }

  Result<Sexp, ParseError> read_list() {
    if (depth_ == kMaxDepth) return error("Nested too deeply");
    if (auto expected = expect('('); !expected) return expected.error();
    ++depth_;
    Sexp::List items;
    while (!at_end()) {
      while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
        consume();
      }
      if (!at_end() && peek() == ')') break;
      auto item = read_expression();
      if (!item) return item.error();
      items.push_back(std::move(item).value());
    }
    if (auto expected = expect(')'); !expected) return expected.error();
    --depth_;
    skip_blanks();
    return Sexp::list(std::move(items));
  }

  // A tab does not end an atom.
  Result<Sexp, ParseError> read_atom() {
    const std::size_t start = position_;
    while (!at_end()) {
      const char c = peek();
      if (c == '\n' || c == '\r' || c == ' ' || c == '(' || c == ')') break;
      consume();
    }
    return Sexp::string(std::string(text_.substr(start, position_ - start)));
  }

  std::string_view text_;
  std::size_t position_ = 0;
  unsigned line_ = 0;
  unsigned column_ = 0;
  unsigned depth_ = 0;  // lists open around the current position
};

}  // namespace

Result<Sexp, ParseError> parse_str(std::string_view text) {
  if (text.empty()) return Sexp{Sexp::Empty{}};
  return Parser(text).read_expression();
}

}  // namespace zembrik::eqsat
