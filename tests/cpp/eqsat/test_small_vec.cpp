// SmallVec: elements inline up to N, then on the heap; copies, moves and
// truncation keep exactly the elements they should, and destroy each once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eqsat/language.hpp"
#include "eqsat/small_vec.hpp"

namespace zembrik::eqsat {
namespace {

SymbolLang node(const char* op, std::initializer_list<Id> children = {}) {
  return SymbolLang(GlobalSymbol(op), children);
}

template <class T, std::uint32_t N>
std::vector<T> items(const SmallVec<T, N>& v) {
  return {v.begin(), v.end()};
}

// Nodes of four children keep them on the heap, so copies and moves that go
// wrong show up as wrong values (or as errors under the sanitizers).
TEST(SmallVecTest, SpillsToTheHeapAndKeepsElementsThroughCopiesAndMoves) {
  SmallVec<SymbolLang, 1> nodes;
  std::vector<SymbolLang> expected;
  for (Id k = 0; k < 9; ++k) {
    nodes.push_back(node("w", {k, k + 1, k + 2, k + 3}));
    expected.push_back(node("w", {k, k + 1, k + 2, k + 3}));
  }
  SmallVec<SymbolLang, 1> copy = nodes;
  SmallVec<SymbolLang, 1> moved = std::move(nodes);
  EXPECT_TRUE(nodes.empty());
  EXPECT_EQ(items(moved), expected);
  copy.truncate(1);
  moved = copy;
  EXPECT_EQ(items(moved), std::vector<SymbolLang>{expected.front()});
  SmallVec<SymbolLang, 1> inline_only{node("x")};
  moved = std::move(inline_only);
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0], node("x"));
}

// Counts the live objects, so that an element destroyed twice or never
// shows up in the count.
struct Counted {
  static inline int live = 0;
  std::string text;
  explicit Counted(std::string t) : text(std::move(t)) { ++live; }
  Counted(const Counted& other) : text(other.text) { ++live; }
  Counted(Counted&& other) noexcept : text(std::move(other.text)) { ++live; }
  Counted& operator=(const Counted&) = default;
  Counted& operator=(Counted&&) = default;
  ~Counted() { --live; }
  friend bool operator==(const Counted& a, const Counted& b) { return a.text == b.text; }
};

class SmallVecSizes : public testing::TestWithParam<int> {};

// Sizes on both sides of the inline capacity of three.
TEST_P(SmallVecSizes, EveryOperationKeepsTheElementsAndDestroysEachOnce) {
  const int n = GetParam();
  std::vector<Counted> expected;
  for (int k = 0; k < n; ++k) expected.emplace_back(std::string(20, 'a' + k % 26));
  const int outside = Counted::live;
  {
    SmallVec<Counted, 3> pushed;
    for (const Counted& c : expected) pushed.push_back(c);
    SmallVec<Counted, 3> appended;
    appended.append(expected.begin(), expected.end());
    EXPECT_EQ(items(pushed), expected);
    EXPECT_TRUE(pushed == appended);
    EXPECT_EQ(Counted::live, outside + 2 * n);

    SmallVec<Counted, 3> moved(std::move(pushed));
    EXPECT_TRUE(pushed.empty());
    EXPECT_EQ(items(moved), expected);
    EXPECT_EQ(Counted::live, outside + 2 * n);

    appended.truncate(n / 2);
    EXPECT_EQ(items(appended), std::vector<Counted>(expected.begin(), expected.begin() + n / 2));
    moved = appended;
    EXPECT_TRUE(moved == appended);
    EXPECT_EQ(Counted::live, outside + 2 * (n / 2));

    appended.clear();
    EXPECT_TRUE(appended.empty());
    appended.push_back(Counted("after clear"));
    EXPECT_EQ(appended.size(), 1u);
    EXPECT_EQ(appended[0].text, "after clear");
  }
  EXPECT_EQ(Counted::live, outside);
}

INSTANTIATE_TEST_SUITE_P(AroundTheInlineCapacity, SmallVecSizes,
                         testing::Values(0, 1, 3, 4, 7, 40));

}  // namespace
}  // namespace zembrik::eqsat
