#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.hpp"
#include "base/hash.hpp"
#include "eqsat/hashing.hpp"
#include "eqsat/symbol.hpp"
#include "test_names.hpp"

namespace zembrik::eqsat {
namespace {

struct TextCase {
  const char* name;
  std::string text;
};

class SymbolTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(SymbolTextTest, InterningIsStableAndEncodesTheShard) {
  const std::string& text = GetParam().text;
  const GlobalSymbol first(text);
  const GlobalSymbol owned{std::string(text)};
  EXPECT_EQ(first, owned);
  EXPECT_EQ(first.as_str(), text);
  EXPECT_EQ(first.handle() >> 28, fixed_hash_bytes(text) % 16);
  EXPECT_NE(first.handle() & 0x0FFFFFFF, 0u);

  std::string one_byte_off = text + "x";
  EXPECT_NE(GlobalSymbol(one_byte_off), first);
  if (!text.empty()) {
    one_byte_off = text;
    one_byte_off.back() ^= 1;
    EXPECT_NE(GlobalSymbol(one_byte_off), first);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SymbolTextTest,
    testing::Values(TextCase{"Empty", ""}, TextCase{"Variable", "?x"}, TextCase{"Op", "op|add"},
                    TextCase{"OpWithParams", "op|add|scalar=f0000000000000000;side=sr"},
                    TextCase{"Controls", "tab\tand\nnewline"}, TextCase{"NonAscii", "caf\xc3\xa9"},
                    TextCase{"Long", std::string(300, 'q')},
                    TextCase{"InnerNul", std::string("nul\0byte", 8)}),
    by_name);

TEST(SymbolTest, ConcurrentFirstInterningGivesOneHandlePerText) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 2000;
  std::vector<std::vector<std::uint32_t>> handles(kThreads, std::vector<std::uint32_t>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the texts from its own start, half of them
      // backwards, so first uses collide.
      for (int k = 0; k < kTexts; ++k) {
        const int step = t % 2 ? kTexts - 1 - k : k;
        const int index = (step + t * 251) % kTexts;
        handles[t][index] = GlobalSymbol("concurrent-" + std::to_string(index)).handle();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(handles[t], handles[0]);
  std::vector<std::uint32_t> sorted = handles[0];
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_EQ(GlobalSymbol("concurrent-1234").as_str(), "concurrent-1234");
}

TEST(SymbolTest, PositionsBeyondTwentySevenBitsAreRefused) {
  EXPECT_EQ(detail::encode_symbol(3, 0x07FFFFFE), 0x37FFFFFEu);
  try {
    (void)detail::encode_symbol(3, 0x07FFFFFF);
    FAIL() << "no failure";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "Can't represent index 134217727 in a Symbol");
  }
}

TEST(SymbolScope, SharesProcessWideSymbolsAndKeepsItsOwnToItself) {
  const GlobalSymbol shared("op|add");
  std::string local = "op|only-in-this-call";
  GlobalSymbol escaped;
  {
    SymbolScope scope;
    EXPECT_EQ(scope.intern("op|add"), shared);
    const GlobalSymbol mine = scope.intern(local);
    escaped = mine;
    EXPECT_TRUE(detail::is_scoped(mine.handle()));
    EXPECT_EQ(scope.intern(std::string(local)), mine);
    EXPECT_NE(scope.intern("op|another"), mine);
    EXPECT_EQ(mine.as_str(), local);
    {
      // An inner scope resolves its own handles while it lives.
      SymbolScope inner;
      EXPECT_EQ(inner.intern("op|inner").as_str(), "op|inner");
    }
    EXPECT_EQ(mine.as_str(), local);
  }
  // Nothing of the scope entered the process-wide table.
  const GlobalSymbol now_shared(local);
  EXPECT_FALSE(detail::is_scoped(now_shared.handle()));
  EXPECT_NE(now_shared, escaped);
  // A scope's handle means nothing once the scope is gone.
  EXPECT_THROW((void)escaped.as_str(), InternalFailure);
}

TEST(SymbolTest, DisplayWritesTheText) {
  const GlobalSymbol symbol("say \"hi\"");
  std::ostringstream out;
  out << symbol;
  EXPECT_EQ(out.str(), "say \"hi\"");
}

}  // namespace
}  // namespace zembrik::eqsat
