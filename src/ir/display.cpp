#include "ir/display.hpp"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "base/utf8.hpp"

namespace zembrik {

namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kEscapedRanges[] = {
#include "ir/unicode_tables.inc"
};

bool needs_escape(char32_t cp) {
  if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
  // The first range whose last code point is not below cp is the only one
  // that can hold it.
  const auto it = std::lower_bound(
      std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
      [](const CodePointRange& range, char32_t value) { return range.last < value; });
  return it != std::end(kEscapedRanges) && it->first <= cp;
}

void append_code_point_escape(std::string& out, char32_t cp) {
  char hex[8];
  const auto result = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
  out += "\\u{";
  out.append(hex, result.ptr);
  out += '}';
}

}  // namespace

std::string display_float(double value) {
  std::string out;
  append_display_float(out, value);
  return out;
}

void append_display_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }

  // Without a precision, scientific form yields the shortest round-trip
  // digits, e.g. "-1.25e+02"; only their placement is left to do here.
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  assert(result.ec == std::errc() && "a finite double fits the buffer");
  const std::string_view sci(buffer, result.ptr - buffer);

  const std::size_t e_pos = sci.find('e');
  assert(e_pos != std::string_view::npos && "scientific form has an exponent");
  std::string_view mantissa = sci.substr(0, e_pos);
  const bool negative = mantissa.front() == '-';
  if (negative) mantissa.remove_prefix(1);

  char digit_buffer[32];
  std::size_t count = 0;
  for (char c : mantissa) {
    if (c != '.') digit_buffer[count++] = c;
  }
  while (count > 1 && digit_buffer[count - 1] == '0') --count;
  const std::string_view digits(digit_buffer, count);

  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  // The decimal point goes after this many digits; it may lie before the
  // first digit (leading zeros) or after the last (trailing zeros).
  const long point = static_cast<long>(exponent) + 1;
  const long length = static_cast<long>(count);
  if (negative) out += '-';
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= length) {
    out += digits;
    out.append(static_cast<std::size_t>(point - length), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
}

std::string display_str(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  append_display_str(out, utf8);
  return out;
}

void append_display_str(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    const auto [cp, length] = utf8::decode(text);
    if (length == 0) {
      // Malformed input: each byte of a broken sequence shows as U+FFFD.
      out += "\\u{fffd}";
      text.remove_prefix(1);
      continue;
    }
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (needs_escape(cp)) {
          append_code_point_escape(out, cp);
        } else {
          out.append(text.data(), length);
        }
    }
    text.remove_prefix(length);
  }
  out += '"';
}

}  // namespace zembrik
