// SmallVec: elements inline up to N, then on the heap; copies, moves and
// truncation keep exactly the elements they should.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/small_vec.hpp"

namespace zembrik {
namespace {

template <class T, std::uint32_t N>
std::vector<T> items(const SmallVec<T, N>& v) {
  return {v.begin(), v.end()};
}

// Elements that own heap memory, so copies and moves that go wrong show up
// as wrong values (or as errors under the sanitizers).
using Words = std::vector<std::uint32_t>;

TEST(SmallVecTest, SpillsToTheHeapAndKeepsElementsThroughCopiesAndMoves) {
  SmallVec<Words, 1> nodes;
  std::vector<Words> expected;
  for (std::uint32_t k = 0; k < 9; ++k) {
    nodes.push_back(Words{k, k + 1, k + 2, k + 3});
    expected.push_back(Words{k, k + 1, k + 2, k + 3});
  }
  SmallVec<Words, 1> copy = nodes;
  SmallVec<Words, 1> moved = std::move(nodes);
  EXPECT_TRUE(nodes.empty());
  EXPECT_EQ(items(moved), expected);
  copy.truncate(1);
  moved = copy;
  EXPECT_EQ(items(moved), std::vector<Words>{expected.front()});
  SmallVec<Words, 1> inline_only{Words{7}};
  moved = std::move(inline_only);
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0], Words{7});
}

}  // namespace
}  // namespace zembrik
