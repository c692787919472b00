// Names for the cases of parametrized suites. Without one, GoogleTest numbers
// a case, and CMake's test discovery then names the ctest entry by the printed
// parameter: a byte dump with addresses for a struct, raw bytes for a text.
// Apart from test_support.hpp, so the lowest layers' suites need no other
// layer's headers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace zembrik {

// A case name made of the ASCII words of `label`, each capitalized: "kept out
// of order" names KeptOutOfOrder. GoogleTest allows only letters, digits and
// underscores, and the label may be written for people.
inline std::string test_name(std::string_view label) {
  std::string name;
  bool word_start = true;
  for (const char c : label) {
    const bool lower = c >= 'a' && c <= 'z';
    if (!lower && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9')) {
      word_start = true;
      continue;
    }
    name += word_start && lower ? static_cast<char>(c - 'a' + 'A') : c;
    word_start = false;
  }
  return name;
}

// Names each case by its parameter's `name` field.
inline constexpr auto by_name = [](const auto& info) { return test_name(info.param.name); };

// Names each case by `prefix` and its value, as in Depth7: a bare number
// would again be replaced by the printed value.
inline auto numbered(const char* prefix) {
  return [prefix](const auto& info) { return prefix + testing::PrintToString(info.param); };
}

}  // namespace zembrik
