#include "ir/token.hpp"

#include <bit>
#include <charconv>
#include <cstdio>
#include <vector>

namespace zembrik {

std::string escape_token(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '%':
        out += "%25";
        break;
      case ';':
        out += "%3B";
        break;
      case '=':
        out += "%3D";
        break;
      case '|':
        out += "%7C";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string unescape_token(std::string_view text) {
  // The four escapes start with "%" and hold no other "%", so no two can
  // overlap and one left-to-right pass equals replacing them one by one.
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view rest = text.substr(i, 3);
    char decoded = 0;
    if (rest == "%7C")
      decoded = '|';
    else if (rest == "%3D")
      decoded = '=';
    else if (rest == "%3B")
      decoded = ';';
    else if (rest == "%25")
      decoded = '%';
    if (decoded != 0) {
      out += decoded;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

namespace {

// The one-letter type tag, then `text`. (Appending rather than writing
// "i" + text spares GCC 12 a false -Wrestrict warning.)
std::string tagged(char tag, std::string_view text) {
  std::string out(1, tag);
  out += text;
  return out;
}

}  // namespace

std::string token(const ParamValue& value) {
  switch (value.tag()) {
    case ParamValue::Tag::Int:
      return tagged('i', std::to_string(value.as_int()));
    case ParamValue::Tag::Float: {
      char hex[17];
      std::snprintf(hex, sizeof hex, "%016llx",
                    static_cast<unsigned long long>(canonical_float_bits(value.as_float())));
      return tagged('f', hex);
    }
    case ParamValue::Tag::Bool:
      return value.as_bool() ? "btrue" : "bfalse";
    case ParamValue::Tag::Str:
      return tagged('s', escape_token(value.as_str()));
  }
  return {};
}

std::string param_token(const ParamMap& params) {
  std::string out;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) out += ';';
    out += escape_token(params[i].first);
    out += '=';
    out += token(params[i].second);
  }
  return out;
}

std::string with_params(std::string head, const ParamMap& params) {
  if (params.empty()) return head;
  head += '|';
  head += param_token(params);
  return head;
}

std::string token(const NodeKey& key) {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Source>) {
          return with_params("src|" + escape_token(k.name), k.params);
        } else if constexpr (std::is_same_v<K, Op>) {
          return with_params("op|" + escape_token(k.name), k.params);
        } else if constexpr (std::is_same_v<K, Reduction>) {
          return with_params("red|" + escape_token(k.name), k.params);
        } else if constexpr (std::is_same_v<K, External>) {
          const PayloadDescriptor& d = k.descriptor;
          std::string head = "ext";
          for (const DescriptorString& field : kDescriptorStrings) {
            head += "|";
            head += d.*field.member;
          }
          return with_params(head + "|" + d.preprocessing_ref.value_or("-"), k.params);
        } else if constexpr (std::is_same_v<K, Stage>) {
          return "stage|" + std::to_string(k.members.size());
        } else if constexpr (std::is_same_v<K, Exchange>) {
          return with_params("exch", k.params);
        } else {
          return with_params("join", k.params);
        }
      },
      key);
}

namespace {

// " {key=value, ...}" after a label head, unless the map is empty.
void append_params_display(std::string& out, const ParamMap& params) {
  if (params.empty()) return;
  out += ' ';
  append_display(out, params);
}

// Splits at every `sep`, keeping empty pieces.
std::vector<std::string_view> split_all(std::string_view text, char sep) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

template <class T>
bool parse_number(std::string_view text, int base, T& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out, base);
  return ec == std::errc() && ptr == end;
}

std::optional<ParamValue> parse_value(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const char type = text[0];
  std::string_view rest = text.substr(1);
  switch (type) {
    case 'b':
      if (rest == "true") return ParamValue::Bool(true);
      if (rest == "false") return ParamValue::Bool(false);
      return std::nullopt;
    case 'f': {
      if (!rest.empty() && rest[0] == '+') rest.remove_prefix(1);
      // from_chars reads no sign for an unsigned type, so "-" fails by itself.
      std::uint64_t bits;
      if (rest.empty() || !parse_number(rest, 16, bits)) return std::nullopt;
      return ParamValue::Float(std::bit_cast<double>(bits));
    }
    case 'i': {
      // from_chars accepts "-" but not "+"; a "+" must still be followed by
      // a digit.
      if (!rest.empty() && rest[0] == '+') {
        rest.remove_prefix(1);
        if (rest.empty() || rest[0] == '-') return std::nullopt;
      }
      std::int64_t v;
      if (!parse_number(rest, 10, v)) return std::nullopt;
      return ParamValue::Int(v);
    }
    case 's':
      return ParamValue::Str(unescape_token(rest));
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string label(const NodeKey& key) {
  std::string out;
  append_label(out, key);
  return out;
}

void append_label(std::string& out, const NodeKey& key) {
  std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Source>) {
          out += "Source ";
          out += k.name;
        } else if constexpr (std::is_same_v<K, Op>) {
          out += "Op ";
          out += k.name;
        } else if constexpr (std::is_same_v<K, Reduction>) {
          out += "Reduction ";
          out += k.name;
        } else if constexpr (std::is_same_v<K, External>) {
          const PayloadDescriptor& d = k.descriptor;
          for (const std::string_view piece :
               {std::string_view("External "), std::string_view(d.kind), std::string_view(":"),
                std::string_view(d.content_hash), std::string_view(" ["),
                std::string_view(d.framework), std::string_view(" "), std::string_view(d.version),
                std::string_view("]")}) {
            out += piece;
          }
        } else if constexpr (std::is_same_v<K, Stage>) {
          out += "Stage[";
          out += std::to_string(k.members.size());
          out += " members]";  // a stage label never shows parameters
        } else if constexpr (std::is_same_v<K, Exchange>) {
          out += "Exchange";
        } else {
          out += "Join";
        }
        if constexpr (!std::is_same_v<K, Stage>) append_params_display(out, k.params);
      },
      key);
}

std::optional<OpToken> parse_op_token(std::string_view text) {
  const std::size_t first = text.find('|');
  if (first == std::string_view::npos) return std::nullopt;
  const std::string_view kind = text.substr(0, first);
  if (kind != "op" && kind != "red") return std::nullopt;
  std::string_view after = text.substr(first + 1);
  const std::size_t second = after.find('|');
  const std::string_view name = after.substr(0, second);
  const std::string_view params =
      second == std::string_view::npos ? std::string_view() : after.substr(second + 1);

  std::vector<ParamEntry> entries;
  if (!params.empty()) {
    for (std::string_view piece : split_all(params, ';')) {
      const std::size_t eq = piece.find('=');
      if (eq == std::string_view::npos) return std::nullopt;
      std::optional<ParamValue> value = parse_value(piece.substr(eq + 1));
      if (!value) return std::nullopt;
      entries.emplace_back(unescape_token(piece.substr(0, eq)), std::move(*value));
    }
  }
  return OpToken{std::string(kind), unescape_token(name),
                 ParamMap::from_entries(std::move(entries))};
}

Result<std::vector<MemberView>, UnparseableMember> member_views(const Stage& stage) {
  std::vector<MemberView> views;
  views.reserve(stage.members.size());
  for (const StageOp& member : stage.members) {
    std::optional<OpToken> op = parse_op_token(member.token);
    if (!op) return UnparseableMember{member.token};
    views.push_back(MemberView{std::move(*op), member.inputs});
  }
  return views;
}

}  // namespace zembrik
