// The helpers that name parametrized cases.
#include <gtest/gtest.h>

#include <cstdint>

#include "test_names.hpp"

namespace zembrik {
namespace {

TEST(TestName, CapitalizesTheAsciiWordsOfALabel) {
  EXPECT_EQ(test_name("kept out of order"), "KeptOutOfOrder");
  EXPECT_EQ(test_name("FanOut"), "FanOut");
  EXPECT_EQ(test_name("node_count"), "NodeCount");
  EXPECT_EQ(test_name("  op|a|k=i9x "), "OpAKI9x");
  EXPECT_EQ(test_name("caf\xc3\xa9 au lait"), "CafAuLait");
  EXPECT_EQ(test_name("?!"), "");
}

TEST(TestName, NamesByFieldOrByPrefixedValue) {
  struct Case {
    const char* name;
  };
  EXPECT_EQ(by_name(testing::TestParamInfo<Case>(Case{"swapped pair"}, 3)), "SwappedPair");
  EXPECT_EQ(numbered("Seed")(testing::TestParamInfo<std::uint64_t>(149, 0)), "Seed149");
  EXPECT_EQ(numbered("Length")(testing::TestParamInfo<int>(0, 5)), "Length0");
}

}  // namespace
}  // namespace zembrik
