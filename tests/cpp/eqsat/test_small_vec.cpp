// SmallVec: elements inline up to N, then on the heap; copies, moves and
// truncation keep exactly the elements they should.
#include <gtest/gtest.h>

#include <vector>

#include "eqsat/language.hpp"
#include "eqsat/small_vec.hpp"
#include "test_support.hpp"

namespace zembrik::eqsat {
namespace {

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

}  // namespace
}  // namespace zembrik::eqsat
