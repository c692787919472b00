// UTF-8 at the byte level, shared by everything that reads text: how long a
// sequence a lead byte announces, the code point a run of bytes stands for,
// and the strict decoding that checks a sequence is well-formed.
//
// Readers differ in what they do with malformed bytes: labels show each one
// as U+FFFD, blobs refuse them, the s-expression reader steps over them as
// one character and the pattern reader's trimming frames characters by their
// continuation bytes. Each picks the pieces below that give its behaviour.
#pragma once

#include <cstddef>
#include <string_view>

namespace zembrik::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

constexpr bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The length of the sequence that `lead` starts, read from its high bits
// alone: 1 for ASCII and for a continuation byte, 4 for any byte from 0xF0 up.
// Never 0, so a reader that steps by it always advances.
constexpr std::size_t sequence_length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The code point that a lead byte followed by continuation bytes stands for,
// 1 to 4 bytes in all, unchecked: the lead's payload bits for a run of that
// length, then six bits per further byte. A lone non-ASCII byte stands for
// U+FFFD.
constexpr char32_t code_point_of(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (bytes.size() == 1) return lead < 0x80 ? lead : kReplacement;
  char32_t cp = lead & (0x7F >> bytes.size());
  for (std::size_t k = 1; k < bytes.size(); ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(bytes[k]) & 0x3F);
  }
  return cp;
}

struct Decoded {
  char32_t code_point;
  std::size_t length;  // 0: the bytes are not a well-formed sequence
};

// The well-formed sequence at the start of non-empty `text`. A byte that
// cannot lead, a missing or cut-off continuation byte, an overlong form, a
// surrogate or a code point above U+10FFFF gives length 0 and U+FFFD.
constexpr Decoded decode(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return {lead, 1};
  constexpr Decoded kMalformed{kReplacement, 0};
  if (is_continuation(lead) || lead >= 0xF8) return kMalformed;
  const std::size_t length = sequence_length(lead);
  if (text.size() < length) return kMalformed;
  for (std::size_t k = 1; k < length; ++k) {
    if (!is_continuation(static_cast<unsigned char>(text[k]))) return kMalformed;
  }
  // Below the smallest code point that needs `length` bytes is overlong.
  constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const char32_t cp = code_point_of(text.substr(0, length));
  if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return kMalformed;
  }
  return {cp, length};
}

// Loose framing, for text that may be malformed: a character is a byte and
// the continuation bytes that follow it, at most four bytes in all. These give
// the byte length of the first and of the last character of non-empty `text`.
constexpr std::size_t loose_first_length(std::string_view text) {
  std::size_t length = 1;
  while (length < text.size() && length < 4 &&
         is_continuation(static_cast<unsigned char>(text[length]))) {
    ++length;
  }
  return length;
}

constexpr std::size_t loose_last_length(std::string_view text) {
  std::size_t length = 1;
  while (length < text.size() && length < 4 &&
         is_continuation(static_cast<unsigned char>(text[text.size() - length]))) {
    ++length;
  }
  return length;
}

// Whether `text` is well-formed UTF-8 throughout, so Python can decode it.
// Inline for the common all-ASCII case, which needs no decoding.
bool valid_decoding(std::string_view text);
inline bool valid(std::string_view text) {
  unsigned char high = 0;
  for (const char c : text) high |= static_cast<unsigned char>(c);
  return high < 0x80 || valid_decoding(text);
}

}  // namespace zembrik::utf8
