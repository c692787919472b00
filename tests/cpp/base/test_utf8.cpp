// The shared UTF-8 pieces: lead lengths, strict decoding against an encoder
// oracle, loose framing and whole-text validation.
#include "base/utf8.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "test_names.hpp"

namespace zembrik::utf8 {
namespace {

// The one well-formed encoding of a scalar value, written out bit by bit.
std::string encode(char32_t cp) {
  std::string out;
  const auto put = [&](unsigned bits) { out += static_cast<char>(bits); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
  return out;
}

bool is_scalar(char32_t cp) {
  return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

// The scalar whose encoding starts `text`, if one does: found by trying
// every scalar the first bytes could stand for and encoding it back.
Decoded oracle(std::string_view text) {
  for (std::size_t length = 1; length <= 4 && length <= text.size(); ++length) {
    const std::string_view prefix = text.substr(0, length);
    // Only the payload bits of a correct encoding can round-trip.
    char32_t cp =
        static_cast<unsigned char>(prefix[0]) & (length == 1 ? 0x7F : 0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (prefix[k] & 0x3F);
    if (is_scalar(cp) && encode(cp) == prefix) return {cp, length};
  }
  return {kReplacement, 0};
}

TEST(Utf8, EveryScalarDecodesFromItsEncoding) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (!is_scalar(cp)) continue;
    const std::string bytes = encode(cp) + "x";
    const Decoded decoded = decode(bytes);
    ASSERT_EQ(decoded.code_point, cp);
    ASSERT_EQ(decoded.length, bytes.size() - 1);
    ASSERT_EQ(sequence_length(static_cast<unsigned char>(bytes[0])), decoded.length);
  }
}

TEST(Utf8, EveryTwoBytePrefixAgreesWithTheOracle) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const std::string bytes{static_cast<char>(a), static_cast<char>(b)};
      const Decoded got = decode(bytes);
      const Decoded want = oracle(bytes);
      ASSERT_EQ(got.length, want.length) << a << " " << b;
      ASSERT_EQ(got.code_point, want.code_point) << a << " " << b;
    }
  }
}

TEST(Utf8, RandomHighBytesAgreeWithTheOracle) {
  std::mt19937 rng(7);
  // Mostly lead and continuation bytes, where the edge cases are.
  std::uniform_int_distribution<int> byte(0x70, 0xFF);
  for (int i = 0; i < 200000; ++i) {
    std::string bytes;
    for (int k = 0; k < 4; ++k) bytes += static_cast<char>(byte(rng));
    const Decoded got = decode(bytes);
    const Decoded want = oracle(bytes);
    ASSERT_EQ(got.length, want.length) << i;
    ASSERT_EQ(got.code_point, want.code_point) << i;
  }
}

struct MalformedCase {
  const char* name;
  std::string bytes;
};

class Utf8Malformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(Utf8Malformed, DecodesToNothingAndFailsValidation) {
  const Decoded decoded = decode(GetParam().bytes);
  EXPECT_EQ(decoded.length, 0u);
  EXPECT_EQ(decoded.code_point, kReplacement);
  EXPECT_FALSE(valid(GetParam().bytes));
  EXPECT_FALSE(valid("ok " + GetParam().bytes + " ok"));
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8Malformed,
                         testing::Values(MalformedCase{"LoneContinuation", "\x80"},
                                         MalformedCase{"LastContinuation", "\xbf"},
                                         MalformedCase{"FiveByteLead", "\xf8\x88\x80\x80\x80"},
                                         MalformedCase{"ByteFF", "\xff"},
                                         MalformedCase{"CutTwo", "\xc3"},
                                         MalformedCase{"CutThree", "\xe2\x82"},
                                         MalformedCase{"CutFour", "\xf0\x9f\x98"},
                                         MalformedCase{"AsciiInsteadOfContinuation", "\xc3("},
                                         MalformedCase{"OverlongTwo", "\xc0\xaf"},
                                         MalformedCase{"OverlongThree", "\xe0\x80\xaf"},
                                         MalformedCase{"OverlongFour", "\xf0\x8f\xbf\xbf"},
                                         MalformedCase{"Surrogate", "\xed\xa0\x80"},
                                         MalformedCase{"LastSurrogate", "\xed\xbf\xbf"},
                                         MalformedCase{"AboveMax", "\xf4\x90\x80\x80"}),
                         by_name);

TEST(Utf8, ValidatesWholeTexts) {
  EXPECT_TRUE(valid(""));
  EXPECT_TRUE(valid(std::string("plain\0ascii", 11)));
  EXPECT_TRUE(valid("h\xc3\xa9llo \xe4\xb8\xad \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"));
  // A cut-off sequence at the very end is caught as well as one inside.
  EXPECT_FALSE(valid("h\xc3\xa9llo \xf0\x9f\x98"));
  EXPECT_FALSE(valid("\xf0\x9f\x98\x80\x80"));
}

TEST(Utf8, LeadLengthsComeFromTheHighBitsAlone) {
  const std::pair<unsigned, std::size_t> cases[] = {{0x00, 1}, {0x7F, 1}, {0x80, 1}, {0xBF, 1},
                                                    {0xC0, 2}, {0xDF, 2}, {0xE0, 3}, {0xEF, 3},
                                                    {0xF0, 4}, {0xF7, 4}, {0xF8, 4}, {0xFF, 4}};
  for (const auto& [lead, length] : cases) {
    EXPECT_EQ(sequence_length(static_cast<unsigned char>(lead)), length) << lead;
  }
}

TEST(Utf8, CodePointOfTakesTheBitsUnchecked) {
  EXPECT_EQ(code_point_of("a"), U'a');
  EXPECT_EQ(code_point_of("\x80"), kReplacement);
  EXPECT_EQ(code_point_of("\xe3\x80\x80"), U'\u3000');
  EXPECT_EQ(code_point_of("\xf4\x8f\xbf\xbf"), U'\U0010FFFF');
  // Malformed runs give their bits: an overlong tab and a bare continuation.
  EXPECT_EQ(code_point_of("\xc0\x89"), U'\t');
  EXPECT_EQ(code_point_of("\x80\xa0"), U' ');
  // A lead too short for its run keeps only the run's payload bits.
  EXPECT_EQ(code_point_of("\xf2\x80\x80"), U'\u2000');
}

struct FramingCase {
  const char* name;
  std::string text;
  std::size_t first;
  std::size_t last;
};

class Utf8LooseFraming : public testing::TestWithParam<FramingCase> {};

TEST_P(Utf8LooseFraming, CountsContinuationBytesUpToFour) {
  EXPECT_EQ(loose_first_length(GetParam().text), GetParam().first);
  EXPECT_EQ(loose_last_length(GetParam().text), GetParam().last);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8LooseFraming,
    testing::Values(FramingCase{"Ascii", "a", 1, 1}, FramingCase{"TwoAscii", "ab", 1, 1},
                    FramingCase{"TwoBytesAtBothEnds", "\xc3\xa9z\xc3\xa9", 2, 2},
                    FramingCase{"FourBytes", "\xf0\x9f\x98\x80", 4, 4},
                    // Framing ignores what the lead byte announces.
                    FramingCase{"CutSequences", "\xe2\x82z\xf0\x9f", 2, 2},
                    FramingCase{"ContinuationsAfterAscii", "a\xa0\x80", 3, 3},
                    FramingCase{"AtMostFour", "\x80\x80\x80\x80\x80\x80", 4, 4},
                    FramingCase{"OneContinuationTooMany", "\xc2\xa0\x80x", 3, 1},
                    FramingCase{"LoneContinuation", "\x80", 1, 1}),
    by_name);

}  // namespace
}  // namespace zembrik::utf8
