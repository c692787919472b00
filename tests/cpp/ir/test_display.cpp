#include "ir/display.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "test_names.hpp"

namespace zembrik {
namespace {

struct FloatCase {
  const char* name;
  double value;
  std::string expected;
};

class DisplayFloatTest : public testing::TestWithParam<FloatCase> {};

TEST_P(DisplayFloatTest, PrintsShortestPositionalDigits) {
  EXPECT_EQ(display_float(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DisplayFloatTest,
    testing::Values(
        FloatCase{"One", 1.0, "1"}, FloatCase{"Half", 0.5, "0.5"}, FloatCase{"Tenth", 0.1, "0.1"},
        FloatCase{"Third", 1.0 / 3.0, "0.3333333333333333"}, FloatCase{"Negative", -2.75, "-2.75"},
        FloatCase{"NegativeThousandth", -0.001, "-0.001"},
        FloatCase{"IntegerAndFraction", 123.456, "123.456"}, FloatCase{"Hundred", 100.0, "100"},
        FloatCase{"TenToMinus7", 1e-7, "0.0000001"}, FloatCase{"Millionth", 0.000001, "0.000001"},
        FloatCase{"TenTo16", 1e16, "10000000000000000"},
        FloatCase{"TenTo21", 1e21, "1" + std::string(21, '0')},
        FloatCase{"TenTo22", 1e22, "1" + std::string(22, '0')},
        FloatCase{"SeventeenDigitsTimesTenTo20", 1.2345678901234568e20, "123456789012345680000"},
        FloatCase{"TwoTo63", 9223372036854775808.0, "9223372036854776000"},
        FloatCase{"OneAndAHalfTimesTenTo300", 1.5e300, "15" + std::string(299, '0')},
        FloatCase{"SmallestSubnormal", 5e-324, "0." + std::string(323, '0') + "5"},
        FloatCase{"Lowest", -1.7976931348623157e308, "-17976931348623157" + std::string(292, '0')},
        FloatCase{"Zero", 0.0, "0"}, FloatCase{"NegativeZero", -0.0, "-0"},
        FloatCase{"Infinity", INFINITY, "inf"}, FloatCase{"NegativeInfinity", -INFINITY, "-inf"},
        FloatCase{"Nan", NAN, "NaN"},
        FloatCase{"NegativeNanWithPayload", std::bit_cast<double>(0xFFF0000000000001ULL), "NaN"},
        FloatCase{"SignalingNan", std::bit_cast<double>(0x7FF4000000000abcULL), "NaN"}),
    by_name);

// Significant digits of a positional text: no sign, point, or outer zeros.
std::size_t significant_digits(std::string text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const std::size_t first = digits.find_first_not_of('0');
  return digits.find_last_not_of('0') - first + 1;
}

TEST(DisplayFloat, RandomBitPatternsRoundTripWithFewestDigits) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value) || value == 0.0) continue;
    const std::string text = display_float(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(value))
        << text;
    // Independent oracle: the fewest correctly rounded digits that read back.
    int fewest = 1;
    char buf[64];
    for (; fewest < 17; ++fewest) {
      std::snprintf(buf, sizeof buf, "%.*e", fewest - 1, value);
      if (std::strtod(buf, nullptr) == value) break;
    }
    ASSERT_EQ(significant_digits(text), static_cast<std::size_t>(fewest)) << text;
  }
}

struct StrCase {
  const char* name;
  std::string input;
  std::string expected;
};

class DisplayStrTest : public testing::TestWithParam<StrCase> {};

TEST_P(DisplayStrTest, QuotesAndEscapes) {
  EXPECT_EQ(display_str(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DisplayStrTest,
    testing::Values(
        StrCase{"Empty", "", R"("")"}, StrCase{"PlainWithSingleQuote", "it's a~", R"("it's a~")"},
        StrCase{"QuoteAndBackslash", "a\"b\\c", R"("a\"b\\c")"},
        StrCase{"NamedControls", std::string("\t\r\n\0x", 5), R"("\t\r\n\0x")"},
        StrCase{"OtherControls", "\x01\x1f\x7f\u0080\u009f", R"("\u{1}\u{1f}\u{7f}\u{80}\u{9f}")"},
        StrCase{"NbspEscapedNeighboursKept", "\u00a0\u00a1", "\"\\u{a0}\u00a1\""},
        StrCase{"SoftHyphenBetweenPrintables", "\u00ac\u00ad\u00ae", "\"\u00ac\\u{ad}\u00ae\""},
        StrCase{"FormatChars", "\u200b\u200d\U000e0001", R"("\u{200b}\u{200d}\u{e0001}")"},
        StrCase{"SeparatorsButSpace", " \u2028\u2029\u3000", R"(" \u{2028}\u{2029}\u{3000}")"},
        StrCase{"Combining", "e\u0301\ufe0f", R"("e\u{301}\u{fe0f}")"},
        StrCase{"PrivateUse", "\ue000\U000f0000\U0010fffd", R"("\u{e000}\u{f0000}\u{10fffd}")"},
        StrCase{"Unassigned", "\u0378\U0003ffff", R"("\u{378}\u{3ffff}")"},
        StrCase{"Noncharacters", "\uffff\ufdd0\U0010ffff", R"("\u{ffff}\u{fdd0}\u{10ffff}")"},
        StrCase{"EmojiAndCjkKept", "\U0001f600\u4e2d\u6587", "\"\U0001f600\u4e2d\u6587\""},
        StrCase{"InsideFirstLastRangesKept", "\u3405\uac01\U00020001\U0002a6de",
                "\"\u3405\uac01\U00020001\U0002a6de\""},
        StrCase{"LoneContinuation", "a\x80z", R"("a\u{fffd}z")"},
        StrCase{"TruncatedAtEnd", "\xe2\x82", R"("\u{fffd}\u{fffd}")"},
        StrCase{"TruncatedBeforeAscii", "\xf0\x9f\x98!", R"("\u{fffd}\u{fffd}\u{fffd}!")"},
        StrCase{"Overlong", "\xc0\xaf\xe0\x80\xaf",
                R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"},
        StrCase{"EncodedSurrogate", "\xed\xa0\x80", R"("\u{fffd}\u{fffd}\u{fffd}")"},
        StrCase{"AboveMaxAndBadLead", "\xf4\x90\x80\x80\xff",
                R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"}),
    by_name);

struct Range {
  char32_t first;
  char32_t last;
};

constexpr Range kTable[] = {
#include "ir/unicode_tables.inc"
};

// Binary search needs sorted, disjoint ranges, and the ASCII fast path assumes
// the table's ASCII part is exactly C0 plus DEL.
TEST(UnicodeTables, RangesAreSortedMergedAndAgreeWithAsciiFastPath) {
  EXPECT_TRUE(kTable[0].first == 0 && kTable[0].last == 0x1F && kTable[1].first == 0x7F);
  EXPECT_EQ(std::end(kTable)[-1].last, 0x10FFFFu);
  EXPECT_LE(kTable[0].first, kTable[0].last);
  for (std::size_t i = 1; i < std::size(kTable); ++i) {
    EXPECT_LE(kTable[i].first, kTable[i].last) << i;
    EXPECT_GT(kTable[i].first, kTable[i - 1].last + 1) << i;
  }
}

}  // namespace
}  // namespace zembrik
