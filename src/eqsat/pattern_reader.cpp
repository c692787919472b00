#include "eqsat/pattern_reader.hpp"

#include "base/failure.hpp"
#include "base/flat_map.hpp"
#include "base/utf8.hpp"

namespace zembrik::eqsat {
namespace {

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Pattern text may hold any bytes, so characters are framed loosely; a
// malformed one decodes to whatever its bits say, and a lone non-ASCII byte
// to U+FFFD, which is not white space.
std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = utf8::loose_first_length(text);
    if (!is_unicode_white_space(utf8::code_point_of(text.substr(0, length)))) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    const std::size_t length = utf8::loose_last_length(text);
    if (!is_unicode_white_space(utf8::code_point_of(text.substr(text.size() - length)))) break;
    text.remove_suffix(length);
  }
  return text;
}

using EntryOrError = Result<ENodeOrVar, ENodeOrVarParseError>;

EntryOrError form_entry(const std::string& text, std::vector<Id> children) {
  if (text.size() > 1 && text[0] == '?') {
    if (!children.empty()) return ENodeOrVarParseError{ENodeOrVarParseError::UnexpectedVar{text}};
    auto var = read_var(text);
    if (!var) return ENodeOrVarParseError{ENodeOrVarParseError::BadVar{var.error()}};
    return ENodeOrVar(var.value());
  }
  return ENodeOrVar(SymbolLang(GlobalSymbol(text), children));
}

using IndexOrError = Result<Id, RecExprParseError>;

// Appends the entries of `sexp` to `term`, children first; yields the index
// of the entry for `sexp` itself.
IndexOrError convert(const Sexp& sexp, PatternAst& term) {
  std::string op;
  std::vector<Id> children;
  if (std::holds_alternative<Sexp::Empty>(sexp.value)) {
    return RecExprParseError{RecExprParseError::EmptySexp{}};
  }
  if (const auto* atom = std::get_if<std::string>(&sexp.value)) {
    op = *atom;
  } else {
    const auto& list = std::get<Sexp::List>(sexp.value);
    if (list.empty()) return RecExprParseError{RecExprParseError::EmptySexp{}};
    const Sexp& head = list.front();
    if (std::holds_alternative<Sexp::List>(head.value)) {
      return RecExprParseError{RecExprParseError::HeadList{head}};
    }
    if (std::holds_alternative<Sexp::Empty>(head.value)) fail("Cannot be in head position");
    op = std::get<std::string>(head.value);
    for (std::size_t k = 1; k < list.size(); ++k) {
      IndexOrError child = convert(list[k], term);
      if (!child) return child;
      children.push_back(child.value());
    }
  }
  EntryOrError entry = form_entry(op, std::move(children));
  if (!entry) return RecExprParseError{RecExprParseError::BadOp{entry.error()}};
  return term.add(std::move(entry).value());
}

std::string sexp_text(const Sexp& sexp) {
  if (const auto* atom = std::get_if<std::string>(&sexp.value)) return *atom;
  if (std::holds_alternative<Sexp::Empty>(sexp.value)) return "";
  std::string text = "(";
  for (const Sexp& item : std::get<Sexp::List>(sexp.value)) {
    if (text.size() > 1) text += ' ';
    text += sexp_text(item);
  }
  return text + ")";
}

struct ENodeOrVarEqual {
  bool operator()(const ENodeOrVar& a, const ENodeOrVar& b) const { return a == b; }
};

}  // namespace

Result<Var, VarParseError> read_var(std::string_view text) {
  if (text.size() > 1 && text[0] == '?') return Var{GlobalSymbol(text)};
  return VarParseError{VarParseError::MissingQuestionMark{std::string(text)}};
}

Result<PatternAst, RecExprParseError> read_pattern_ast(std::string_view text) {
  auto sexp = parse_str(trim_white_space(text));
  if (!sexp) return RecExprParseError{RecExprParseError::BadSexp{sexp.error()}};
  PatternAst term;
  IndexOrError root = convert(sexp.value(), term);
  if (!root) return root.error();
  return term;
}

PatternAst compact(const PatternAst& term) {
  PatternAst compacted;
  FlatMap<ENodeOrVar, Id, ENodeOrVarHash, ENodeOrVarEqual> position_of;
  std::vector<Id> new_index(term.size());
  for (std::size_t old = 0; old < term.size(); ++old) {
    ENodeOrVar entry = term.nodes[old];
    if (auto* node = std::get_if<SymbolLang>(&entry)) {
      for (Id& child : node->children()) child = new_index[child];
    }
    const Id next = static_cast<Id>(compacted.size());
    auto [position, inserted] = position_of.try_emplace(entry, next);
    if (inserted) compacted.add(std::move(entry));
    new_index[old] = *position;
  }
  return compacted;
}

std::string to_string(const RecExprParseError& error) {
  struct Describe {
    std::string operator()(const RecExprParseError::EmptySexp&) const {
      return "Found an empty s-expression";
    }
    std::string operator()(const RecExprParseError::HeadList& e) const {
      return "Found a list in head position: " + sexp_text(e.list);
    }
    std::string operator()(const RecExprParseError::BadOp& e) const {
      if (const auto* v = std::get_if<ENodeOrVarParseError::UnexpectedVar>(&e.error.kind)) {
        return "Found variable " + v->text + " in head position";
      }
      if (const auto* v = std::get_if<ENodeOrVarParseError::BadVar>(&e.error.kind)) {
        return "Not a variable: " + std::get<0>(v->error.kind).text;
      }
      return "Not an operator: " + std::get<ENodeOrVarParseError::BadOp>(e.error.kind).text;
    }
    std::string operator()(const RecExprParseError::BadSexp& e) const {
      return "Bad s-expression: " + e.error.msg + " at line " + std::to_string(e.error.line) +
             ", column " + std::to_string(e.error.col);
    }
  };
  return std::visit(Describe{}, error.kind);
}

}  // namespace zembrik::eqsat
