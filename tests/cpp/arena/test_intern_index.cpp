// The intern index as the arena drives it: a step's new ids taken out again,
// and a whole arena adopted at once.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arena/intern_index.hpp"
#include "base/hash.hpp"

namespace zembrik {
namespace {

using HashFn = std::uint64_t (*)(const std::string&);

std::uint64_t keyed(const std::string& key) {
  return keyed_hash(key);
}
// The same top 24 bits for every key: one home and one tag, so only the
// keys tell the ids apart.
std::uint64_t same_tag(const std::string& key) {
  return 0xABCDEF0000000000ULL | (keyed_hash(key) >> 24);
}

class InternIndexTest : public testing::TestWithParam<HashFn> {
 protected:
  std::uint64_t hash(const std::string& key) const { return GetParam()(key); }
  std::uint64_t hash_of(NodeId id) const { return hash(keys[id]); }

  NodeId intern(InternIndex& index, const std::string& key) {
    if (const auto found = find(index, key)) return *found;
    keys.push_back(key);
    index.insert(hash(key), keys.size() - 1, [&](NodeId id) { return hash_of(id); });
    return keys.size() - 1;
  }

  std::optional<NodeId> find(const InternIndex& index, const std::string& key) const {
    return index.find(hash(key), [&](NodeId id) { return keys[id] == key; });
  }

  static std::string key_of(int k) { return "node-" + std::to_string(k); }

  std::vector<std::string> keys;  // the arena: id -> key
};

// A step reserves room for all it may add, so the ids it adds can be taken
// out without touching the ids before it.
TEST_P(InternIndexTest, TakesOutTheIdsOfAReservedStep) {
  InternIndex index;
  for (int k = 0; k < 100; ++k) intern(index, key_of(k));
  for (int step = 0; step < 3; ++step) {
    index.reserve(100 + 60, [&](NodeId id) { return hash_of(id); });
    for (int k = 100; k < 160; ++k) {
      keys.push_back(key_of(k));
      index.insert_reserved(hash(keys.back()), keys.size() - 1);
    }
    EXPECT_EQ(index.size(), 160u);
    index.erase_from(100);
    keys.resize(100);
    EXPECT_EQ(index.size(), 100u);
    for (int k = 0; k < 100; ++k) EXPECT_EQ(find(index, key_of(k)), NodeId(k)) << step;
    for (int k = 100; k < 160; ++k) EXPECT_EQ(find(index, key_of(k)), std::nullopt) << step;
  }
  EXPECT_EQ(intern(index, key_of(100)), 100u);
}

TEST_P(InternIndexTest, AdoptsDistinctKeysAndRefusesARepeatedOne) {
  for (int k = 0; k < 3000; ++k) keys.push_back(key_of(k));
  const auto hash_of_id = [&](NodeId id) { return hash_of(id); };
  const auto equal = [&](NodeId a, NodeId b) { return keys[a] == keys[b]; };
  InternIndex index;
  ASSERT_TRUE(index.insert_distinct(keys.size(), hash_of_id, equal));
  EXPECT_EQ(index.size(), 3000u);
  for (int k = 0; k < 3000; ++k) EXPECT_EQ(find(index, key_of(k)), NodeId(k));

  keys[2999] = key_of(17);
  InternIndex refused;
  EXPECT_FALSE(refused.insert_distinct(keys.size(), hash_of_id, equal));
  EXPECT_EQ(refused.size(), 0u);
  EXPECT_EQ(find(refused, key_of(0)), std::nullopt);

  InternIndex none;
  EXPECT_TRUE(none.insert_distinct(0, hash_of_id, equal));
  EXPECT_EQ(none.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Hashes, InternIndexTest, testing::Values(&keyed, &same_tag),
                         [](const testing::TestParamInfo<HashFn>& info) {
                           return info.param == &keyed ? "Keyed" : "SameTag";
                         });

}  // namespace
}  // namespace zembrik
