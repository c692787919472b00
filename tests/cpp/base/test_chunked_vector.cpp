// ChunkedVector: every element readable and writable at its index across
// chunk boundaries, and none ever moved by a later push_back.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "base/chunked_vector.hpp"
#include "test_names.hpp"

namespace zembrik {
namespace {

class ChunkedVectorLengths : public testing::TestWithParam<std::size_t> {};

// Chunks of four, filled to just below, at and past their boundaries.
TEST_P(ChunkedVectorLengths, KeepsEveryElementAtItsIndexAndInPlace) {
  const std::size_t n = GetParam();
  ChunkedVector<std::string, 2> strings;
  std::vector<const std::string*> addresses;
  for (std::size_t k = 0; k < n; ++k) {
    strings.push_back(std::string(24, static_cast<char>('a' + k % 26)) + std::to_string(k));
    addresses.push_back(&strings[k]);
  }
  ASSERT_EQ(strings.size(), n);
  for (std::size_t k = 0; k < n; ++k) {
    EXPECT_EQ(strings[k], std::string(24, static_cast<char>('a' + k % 26)) + std::to_string(k));
    EXPECT_EQ(&strings[k], addresses[k]) << "element " << k << " moved";
  }
  for (std::size_t k = 0; k < n; ++k) strings[k] += "!";
  const ChunkedVector<std::string, 2>& view = strings;
  for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(view[k].back(), '!');
}

INSTANTIATE_TEST_SUITE_P(AroundChunkBoundaries, ChunkedVectorLengths,
                         testing::Values(0, 1, 3, 4, 5, 8, 9, 1000), numbered("Length"));

TEST(ChunkedVectorTest, HoldsMoveOnlyElements) {
  ChunkedVector<std::unique_ptr<int>, 3> owners;
  for (int k = 0; k < 50; ++k) owners.push_back(std::make_unique<int>(k * k));
  for (int k = 0; k < 50; ++k) {
    ASSERT_NE(owners[k], nullptr);
    EXPECT_EQ(*owners[k], k * k);
  }
}

// The default chunk of 2^14 elements, as the e-graph's tables use it.
TEST(ChunkedVectorTest, DefaultChunksSpanLargeSequences) {
  ChunkedVector<std::uint64_t> words;
  constexpr std::size_t kCount = (std::size_t{1} << 14) * 3 + 17;
  for (std::size_t k = 0; k < kCount; ++k) words.push_back(k * 0x9E3779B97F4A7C15ULL);
  EXPECT_EQ(words.size(), kCount);
  for (std::size_t k = 0; k < kCount; k += 101) EXPECT_EQ(words[k], k * 0x9E3779B97F4A7C15ULL);
  EXPECT_EQ(words[kCount - 1], (kCount - 1) * 0x9E3779B97F4A7C15ULL);
}

}  // namespace
}  // namespace zembrik
