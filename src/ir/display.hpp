// Display texts of parameter values, the human-readable forms that node labels
// show. They are for reading, not for identity: tokens and blobs use their own
// exact encodings.
//
//   display_float(0.1)        -> 0.1
//   display_float(1e21)       -> 1000000000000000000000
//   display_str("a\"b\n")     -> "a\"b\n" (quoted, escaped)
#pragma once

#include <string>
#include <string_view>

namespace zembrik {

// The shortest decimal digits that read back to the same double, placed
// positionally without an exponent; integral values have no decimal point.
// NaN is "NaN", the infinities "inf" and "-inf", negative zero "-0".
std::string display_float(double value);
void append_display_float(std::string& out, double value);

// The string in double quotes. Quote and backslash get a backslash; tab,
// carriage return, line feed and NUL become \t \r \n \0; other non-printable
// or grapheme-extending code points become \u{hex}. The rest is copied.
// Each byte of malformed UTF-8 shows as \u{fffd}.
std::string display_str(std::string_view utf8);
void append_display_str(std::string& out, std::string_view utf8);

}  // namespace zembrik
