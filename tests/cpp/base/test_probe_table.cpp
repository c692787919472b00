// The probing core: every entry survives growth, a failed growth or rebuild
// changes nothing, and taking out the newest entries restores the table they
// were added to, slot for slot.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "base/probe_table.hpp"

namespace zembrik {
namespace {

// Slots built before the next one fails; negative never fails. Lets a test
// make the allocation of a fresh table fail part way.
thread_local int slots_left = -1;

struct Slot {
  std::uint32_t key = 0;  // 0 marks an empty slot
  std::uint32_t value = 0;

  Slot() {
    if (slots_left == 0) {
      slots_left = -1;
      throw std::bad_alloc();
    }
    if (slots_left > 0) --slots_left;
  }
  Slot(std::uint32_t k, std::uint32_t v) : key(k), value(v) {}
  bool occupied() const { return key != 0; }
  friend bool operator==(const Slot& a, const Slot& b) {
    return a.key == b.key && a.value == b.value;
  }
};
using Table = ProbeTable<Slot>;

// Spreads keys over the top bits, as a table expects.
std::uint64_t spread(std::uint32_t key) {
  return key * 0x9E3779B97F4A7C15ULL;
}
// Puts every key in one of four homes, so runs get long and wrap around the
// end of the array.
std::uint64_t clustered(std::uint32_t key) {
  return ~std::uint64_t{0} - (std::uint64_t{key % 4} << 62 >> 2);
}

using HashFn = std::uint64_t (*)(std::uint32_t);

class ProbeTableTest : public testing::TestWithParam<HashFn> {
 protected:
  std::uint64_t hash(std::uint32_t key) const { return GetParam()(key); }
  std::uint64_t hash_of(const Slot& slot) const { return hash(slot.key); }

  void add(Table& table, std::uint32_t key, std::uint32_t value) {
    table.reserve(table.size() + 1, [&](const Slot& s) { return hash_of(s); });
    const std::size_t at = table.probe(hash(key), [&](const Slot& s) { return s.key == key; });
    ASSERT_FALSE(table[at].occupied()) << key;
    table.fill(at, Slot(key, value));
  }

  const Slot* find(const Table& table, std::uint32_t key) const {
    return table.find(hash(key), [&](const Slot& s) { return s.key == key; });
  }

  // Every key in [first, last] maps to key * 3; keys outside are absent.
  void expect_holds(const Table& table, std::uint32_t first, std::uint32_t last) const {
    EXPECT_EQ(table.size(), last - first + 1);
    for (std::uint32_t key = first; key <= last; ++key) {
      const Slot* slot = find(table, key);
      ASSERT_NE(slot, nullptr) << key;
      EXPECT_EQ(slot->value, key * 3) << key;
    }
    EXPECT_EQ(find(table, last + 1), nullptr);
    if (first > 1) {
      EXPECT_EQ(find(table, first - 1), nullptr);
    }
  }

  static std::vector<Slot> slots_of(const Table& table) {
    std::vector<Slot> slots;
    for (std::size_t at = 0; at < table.slot_count(); ++at) slots.push_back(table[at]);
    return slots;
  }
};

TEST_P(ProbeTableTest, GrowthKeepsEveryEntryAndTheLoadUnderThreeQuarters) {
  Table table;
  EXPECT_EQ(find(table, 1), nullptr);
  for (std::uint32_t key = 1; key <= 3000; ++key) {
    add(table, key, key * 3);
    ASSERT_LE(table.size() * 4, table.slot_count() * 3);
    ASSERT_EQ(table.slot_count(), std::size_t{1} << table.bits());
  }
  EXPECT_GE(table.bits(), 12);
  expect_holds(table, 1, 3000);
}

TEST_P(ProbeTableTest, ReservedRoomTakesEntriesWithoutMovingThem) {
  Table table;
  table.reserve(100, [&](const Slot& s) { return hash_of(s); });
  const std::size_t slots = table.slot_count();
  EXPECT_EQ(slots, 256u);  // 128 would hold only 96
  add(table, 1, 3);
  const Slot* first = find(table, 1);
  for (std::uint32_t key = 2; key <= 100; ++key) add(table, key, key * 3);
  EXPECT_EQ(table.slot_count(), slots);
  EXPECT_EQ(find(table, 1), first);
  expect_holds(table, 1, 100);
}

TEST_P(ProbeTableTest, FailedGrowthOrHashLeavesTheTableAsItWas) {
  Table table;
  for (std::uint32_t key = 1; key <= 12; ++key) add(table, key, key * 3);
  ASSERT_EQ(table.slot_count(), 16u);  // the next entry needs 32 slots
  const std::vector<Slot> before = slots_of(table);
  for (const int built : {0, 1, 17, 31}) {
    slots_left = built;
    EXPECT_THROW(add(table, 13, 39), std::bad_alloc) << built;
    slots_left = -1;
    EXPECT_EQ(slots_of(table), before) << built;
    expect_holds(table, 1, 12);
  }
  int hashed = 0;
  const auto fails_late = [&](const Slot& s) {
    if (++hashed == 7) throw std::runtime_error("hash failed");
    return hash_of(s);
  };
  EXPECT_THROW(table.reserve(13, fails_late), std::runtime_error);
  EXPECT_EQ(slots_of(table), before);
  add(table, 13, 39);
  EXPECT_EQ(table.slot_count(), 32u);
  expect_holds(table, 1, 13);
}

TEST_P(ProbeTableTest, RebuildThatGivesUpLeavesTheTableAsItWas) {
  Table table;
  for (std::uint32_t key = 1; key <= 40; ++key) add(table, key, key * 3);
  const std::vector<Slot> before = slots_of(table);
  const bool replaced = table.rebuild(1000, [&](Table& fresh) {
    fresh.place(hash(500), Slot(500, 1500));
    return false;
  });
  EXPECT_FALSE(replaced);
  EXPECT_EQ(slots_of(table), before);
  expect_holds(table, 1, 40);

  EXPECT_TRUE(table.rebuild(1000, [&](Table& fresh) {
    for (std::uint32_t key = 1; key <= 1000; ++key) fresh.place(hash(key), Slot(key, key * 3));
    return true;
  }));
  EXPECT_EQ(table.rebuilt_with(), 1000u);
  expect_holds(table, 1, 1000);
}

// Entries added after a growth, however their runs interleave with older
// ones, come out leaving the exact layout from before them.
TEST_P(ProbeTableTest, ErasingTheNewestRestoresTheTableBeforeThem) {
  Table table;
  for (std::uint32_t key = 1; key <= 50; ++key) add(table, key, key * 3);
  table.reserve(400, [&](const Slot& s) { return hash_of(s); });
  EXPECT_EQ(table.rebuilt_with(), 50u);
  for (std::uint32_t key = 51; key <= 80; ++key) add(table, key, key * 3);
  const std::vector<Slot> before = slots_of(table);
  for (const std::uint32_t newest : {1u, 2u, 150u, 300u}) {
    for (std::uint32_t key = 81; key <= 80 + newest; ++key) add(table, key, key * 3);
    table.erase_newest([](const Slot& s) { return s.key > 80; });
    EXPECT_EQ(slots_of(table), before) << newest;
    expect_holds(table, 1, 80);
  }
  table.erase_newest([](const Slot& s) { return s.key > 50; });
  expect_holds(table, 1, 50);
}

INSTANTIATE_TEST_SUITE_P(Hashes, ProbeTableTest, testing::Values(&spread, &clustered),
                         [](const testing::TestParamInfo<HashFn>& info) {
                           return info.param == &spread ? "Spread" : "Clustered";
                         });

}  // namespace
}  // namespace zembrik
