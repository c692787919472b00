#include "ir/params.hpp"

#include <algorithm>
#include <bit>
#include <charconv>

#include "ir/display.hpp"

namespace zembrik {

std::uint64_t canonical_float_bits(double value) {
  return value != value ? kCanonicalNanBits : std::bit_cast<std::uint64_t>(value);
}

bool operator==(const ParamValue& a, const ParamValue& b) {
  if (a.tag() != b.tag()) return false;
  if (a.tag() == ParamValue::Tag::Float) {
    return canonical_float_bits(a.as_float()) == canonical_float_bits(b.as_float());
  }
  return a.value == b.value;
}

ParamMap ParamMap::from_entries(std::vector<ParamEntry> entries) {
  sort_by_key(entries, [](const ParamEntry& e) -> const std::string& { return e.first; });
  ParamMap map;
  map.entries_ = std::move(entries);
  return map;
}

ParamValue ParamView::value() const {
  switch (tag) {
    case ParamValue::Tag::Int:
      return ParamValue::Int(int_value);
    case ParamValue::Tag::Float:
      return ParamValue::Float(float_value);
    case ParamValue::Tag::Bool:
      return ParamValue::Bool(bool_value);
    case ParamValue::Tag::Str:
      break;
  }
  return ParamValue::Str(std::string(str_value));
}

void append_display(std::string& out, const ParamValue& value) {
  switch (value.tag()) {
    case ParamValue::Tag::Int: {
      char digits[24];
      const auto result = std::to_chars(digits, digits + sizeof digits, value.as_int());
      out.append(digits, result.ptr);
      return;
    }
    case ParamValue::Tag::Float:
      append_display_float(out, value.as_float());
      return;
    case ParamValue::Tag::Bool:
      out += value.as_bool() ? "true" : "false";
      return;
    case ParamValue::Tag::Str:
      append_display_str(out, value.as_str());
      return;
  }
}

void append_display(std::string& out, const ParamMap& params) {
  out += '{';
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) out += ", ";
    out += params[i].first;
    out += '=';
    append_display(out, params[i].second);
  }
  out += '}';
}

}  // namespace zembrik
