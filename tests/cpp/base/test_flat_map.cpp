// FlatMap: keys found across growth whatever their hashes, the first value of
// a key kept, reserved room used without moving entries, and a failed growth
// leaving the map as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "base/flat_map.hpp"
#include "base/hash.hpp"

namespace zembrik {
namespace {

std::string key_of(int k) {
  return "key-" + std::to_string(k);
}

// Every key in one probe run: only the tags and then the keys tell them apart.
struct SameHash {
  std::uint64_t operator()(std::string_view) const { return 0xF00D'0000'0000'0042ULL; }
};

template <class Hash>
class FlatMapHashes : public testing::Test {};
using Hashes = testing::Types<KeyedTextHash, SameHash>;
TYPED_TEST_SUITE(FlatMapHashes, Hashes);

// std::string keys move when the table grows; a key lost in a move would
// no longer be found.
TYPED_TEST(FlatMapHashes, FindsEveryKeyAcrossGrowthAndKeepsTheFirstValue) {
  FlatMap<std::string, int, TypeParam> map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find(key_of(0)), nullptr);
  constexpr int kCount = 2000;
  for (int k = 0; k < kCount; ++k) {
    const auto [value, inserted] = map.try_emplace(key_of(k), k);
    ASSERT_TRUE(inserted) << k;
    ASSERT_EQ(*value, k);
  }
  for (int k = 0; k < kCount; k += 7) {
    const auto [value, inserted] = map.try_emplace(key_of(k), -1);
    EXPECT_FALSE(inserted) << k;
    EXPECT_EQ(*value, k);
  }
  EXPECT_EQ(map.size(), static_cast<std::size_t>(kCount));
  for (int k = 0; k < kCount; ++k) {
    const int* found = map.find(key_of(k));
    ASSERT_NE(found, nullptr) << k;
    EXPECT_EQ(*found, k);
  }
  EXPECT_EQ(map.find(key_of(kCount)), nullptr);
  EXPECT_EQ(map.find(""), nullptr);
  *map.find(key_of(5)) = 55;
  EXPECT_EQ(*map.find(key_of(5)), 55);
}

TYPED_TEST(FlatMapHashes, ReservedRoomTakesEntriesWithoutMovingThem) {
  FlatMap<std::string, int, TypeParam> map;
  map.reserve(500);
  const int* first = map.try_emplace(key_of(0), 0).first;
  for (int k = 1; k < 500; ++k) map.try_emplace(key_of(k), k);
  EXPECT_EQ(map.find(key_of(0)), first);
  EXPECT_EQ(*first, 0);
  EXPECT_EQ(map.size(), 500u);
}

// Values built before the next one fails; negative never fails. The table's
// empty slots default-construct a value each, so this fails a growth.
thread_local int values_left = -1;

struct FragileValue {
  int n = 0;
  FragileValue() {
    if (values_left == 0) {
      values_left = -1;
      throw std::bad_alloc();
    }
    if (values_left > 0) --values_left;
  }
  explicit FragileValue(int k) : n(k) {}
};

TEST(FlatMapTest, FailedGrowthLeavesTheMapAsItWas) {
  FlatMap<std::string, FragileValue, KeyedTextHash> map;
  for (int k = 0; k < 12; ++k) map.try_emplace(key_of(k), FragileValue(k));
  for (const int built : {0, 5, 31}) {
    values_left = built;
    EXPECT_THROW(map.try_emplace(key_of(12), FragileValue(12)), std::bad_alloc) << built;
    values_left = -1;
    EXPECT_EQ(map.size(), 12u);
    EXPECT_EQ(map.find(key_of(12)), nullptr);
    for (int k = 0; k < 12; ++k) {
      const FragileValue* found = map.find(key_of(k));
      ASSERT_NE(found, nullptr) << built << " " << k;
      EXPECT_EQ(found->n, k);
    }
  }
  EXPECT_TRUE(map.try_emplace(key_of(12), FragileValue(12)).second);
  EXPECT_EQ(map.find(key_of(12))->n, 12);
}

}  // namespace
}  // namespace zembrik
