// FlatMap: keys found across growth whatever their hashes, the first value of
// a key kept, reserved room used without moving entries, and a failed growth
// leaving the map as it was.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "eqsat/flat_map.hpp"
#include "ir/hash.hpp"

namespace zembrik::eqsat {
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

// Views into the map's callers' storage, as the symbol index keeps them.
TEST(FlatMapTest, LooksUpViewsByTheirText) {
  const std::string stored = "map";
  FlatMap<std::string_view, std::uint32_t, KeyedTextHash> index;
  index.try_emplace(stored, 7);
  const std::string probe = std::string("ma") + "p";
  ASSERT_NE(index.find(probe), nullptr);
  EXPECT_EQ(*index.find(probe), 7u);
  EXPECT_EQ(index.find("maps"), nullptr);
}

// Keys that are equal under the map's own Equal, not under ==.
struct NoCaseHash {
  std::uint64_t operator()(const std::string& text) const {
    std::string folded;
    for (const char c : text) folded += static_cast<char>(std::tolower(c));
    return keyed_hash(folded);
  }
};
struct NoCaseEqual {
  bool operator()(const std::string& a, const std::string& b) const {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (std::tolower(a[i]) != std::tolower(b[i])) return false;
    }
    return true;
  }
};

TEST(FlatMapTest, MatchesKeysWithItsEqual) {
  FlatMap<std::string, int, NoCaseHash, NoCaseEqual> map;
  EXPECT_TRUE(map.try_emplace("Stage", 1).second);
  EXPECT_FALSE(map.try_emplace("STAGE", 2).second);
  ASSERT_NE(map.find("stage"), nullptr);
  EXPECT_EQ(*map.find("stage"), 1);
  EXPECT_EQ(map.size(), 1u);
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
}  // namespace zembrik::eqsat
