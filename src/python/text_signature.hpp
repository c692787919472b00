// Text signatures, the first line of a docstring that the interpreter shows
// as __text_signature__: "name($self, a, b=None, *, c)\n--\n\n". The binder
// reads its Signatures from them. Free of Python, so it is tested alone.
#pragma once

#include <cstddef>
#include <string_view>

namespace zembrik::py {

// The most parameters a callable of the module has.
inline constexpr std::size_t kMaxParameters = 6;

// Reads the text signature at the start of a docstring: a parameter without
// a default is required, one after "*" is keyword-only, and one starting with
// "$" is the object a method is bound to, not an argument. Calls `each(name, required,
// keyword_only)` per parameter and returns the number of parameters, or -1
// when the text is not of that form. Usable at compile time, so that the
// method tables check their docstrings while building.
template <class Each>
constexpr int read_text_signature(std::string_view doc, std::string_view& name, Each&& each) {
  const std::size_t open = doc.find('(');
  const std::size_t close = doc.find(')');
  if (open == 0 || open == std::string_view::npos || close == std::string_view::npos ||
      close < open || doc.substr(close + 1, 5) != "\n--\n\n") {
    return -1;
  }
  name = doc.substr(0, open);
  std::string_view rest = doc.substr(open + 1, close - open - 1);
  int count = 0;
  bool keyword_only = false;
  // Items are separated by ", ", so "f()" has none but "f(a, )" has an empty one.
  bool more = !rest.empty();
  while (more) {
    const std::size_t comma = rest.find(", ");
    const std::string_view item = rest.substr(0, comma);
    more = comma != std::string_view::npos;
    rest = more ? rest.substr(comma + 2) : std::string_view();
    if (item.empty()) return -1;
    if (item == "*") {
      if (keyword_only) return -1;
      keyword_only = true;
      continue;
    }
    if (item[0] == '$') continue;
    const std::size_t equals = item.find('=');
    const std::string_view parameter = item.substr(0, equals);
    for (const char c : parameter) {
      if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return -1;
    }
    if (parameter.empty()) return -1;
    each(parameter, equals == std::string_view::npos, keyword_only);
    ++count;
  }
  return count;
}

// How many parameters the docstring's text signature lists, or -1.
constexpr int text_signature_parameters(std::string_view doc) {
  std::string_view name;
  return read_text_signature(doc, name, [](std::string_view, bool, bool) {});
}

// Whether no parameter of the docstring's text signature is keyword-only.
constexpr bool text_signature_all_positional(std::string_view doc) {
  std::string_view name;
  bool all = true;
  read_text_signature(
      doc, name, [&](std::string_view, bool, bool keyword_only) { all = all && !keyword_only; });
  return all;
}

}  // namespace zembrik::py
