// The arena's running wide size, and adopting an arena whose records are
// told apart by their anchors, with the index built on first use.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <vector>

#include "arena/interned_arena.hpp"
#include "ir/record.hpp"
#include "test_names.hpp"

namespace zembrik {
namespace {

ParamMap params(std::initializer_list<ParamEntry> entries) {
  return ParamMap::from_entries(entries);
}

double nan_with(std::uint64_t payload) {
  return std::bit_cast<double>(0x7FF0000000000000ULL | payload);
}

// Each size is spelled out in the blob's field widths: a tag or flag byte,
// 4 bytes per length, count or stage index, 8 per id, Int or float.
struct WideCase {
  const char* name;
  NodeKey key;
  std::size_t size;
};

class WideSize : public testing::TestWithParam<WideCase> {};

TEST_P(WideSize, MatchesTheFieldWidths) {
  std::string record;
  std::size_t reported = 0;
  record::encode(GetParam().key, record, record::Nans::Keep, &reported);
  EXPECT_EQ(record::wide_size(record), GetParam().size);
  EXPECT_EQ(reported, GetParam().size);
}

const std::string kLong(300, 'x');  // lengths and counts of two varint bytes

INSTANTIATE_TEST_SUITE_P(
    Keys, WideSize,
    testing::Values(
        WideCase{"Source", Source{"ab", params({{"k", ParamValue::Int(-300)}})},
                 1 + (4 + 2) + 4 + (4 + 1) + 1 + 8},
        WideCase{"OpWithEveryValue",
                 Op{kLong,
                    params({{"b", ParamValue::Bool(true)},
                            {"f", ParamValue::Float(nan_with(5))},
                            {"s", ParamValue::Str(kLong)}}),
                    {0, 200, 70000}},
                 1 + (4 + 300) + 4 + (4 + 1 + 1 + 1) + (4 + 1 + 1 + 8) + (4 + 1 + 1 + 4 + 300) + 4 +
                     3 * 8},
        WideCase{"ExternalWithRef", External{{"k", "hh", "f", "v", "io", "pre"}, {}, {3}},
                 1 + (4 + 1) + (4 + 2) + (4 + 1) + (4 + 1) + (4 + 2) + 1 + (4 + 3) + 4 + 4 + 8},
        WideCase{"Stage",
                 Stage{{4, 300},
                       {StageOp{"op|a", {StageRef::Input(0), StageRef::Input(1)}},
                        StageOp{"red|s", {StageRef::Member(0)}}}},
                 1 + 4 + 2 * 8 + 4 + (4 + 4) + 4 + 2 * 5 + (4 + 5) + 4 + 5},
        WideCase{"Join", Join{{}, {1, 2}}, 1 + 4 + 4 + 2 * 8}),
    by_name);

std::size_t summed_wide(const NodeArena& arena) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < arena.size(); ++i) total += record::wide_size(arena.record(i));
  return total;
}

TEST(RunningWideSize, FollowsAppendsTruncationsAndSlices) {
  InternedArena arena;
  EXPECT_EQ(arena.arena().wide_size(), 0u);
  arena.intern(Source{"s", {}});
  for (int i = 1; i < 40; ++i) {
    arena.intern(Op{std::string(i * 7, 'm'), params({{"k", ParamValue::Int(i)}}), {NodeId(i - 1)}});
    ASSERT_EQ(arena.arena().wide_size(), summed_wide(arena.arena())) << i;
  }
  // A record without its wide size known, as the reducers intern them.
  std::string record;
  const bool has_nan =
      record::encode(Source{"nan", params({{"f", ParamValue::Float(nan_with(1))}})}, record);
  arena.intern_record(record, has_nan);
  EXPECT_EQ(arena.arena().wide_size(), summed_wide(arena.arena()));

  const std::size_t before = arena.arena().wide_size();
  arena.reserve_for(10);
  for (int i = 0; i < 10; ++i) arena.intern(Source{"t" + std::to_string(i), {}});
  EXPECT_GT(arena.arena().wide_size(), before);
  arena.truncate(41);
  EXPECT_EQ(arena.arena().wide_size(), before);
  for (const std::size_t start : {0u, 1u, 25u, 41u, 99u}) {
    const NodeArena slice = arena.arena().slice_from(start);
    EXPECT_EQ(slice.wide_size(), summed_wide(slice)) << start;
  }
}

// The largest input plus one, 0 for none: what the blob reader notes.
std::vector<NodeId> anchors_of(const NodeArena& arena) {
  std::vector<NodeId> anchors;
  NodeIds inputs;
  for (std::size_t i = 0; i < arena.size(); ++i) {
    inputs.clear();
    append_inputs(arena.record(i), inputs);
    anchors.push_back(inputs.empty() ? 0 : *std::max_element(inputs.begin(), inputs.end()) + 1);
  }
  return anchors;
}

// Random arenas with wide fan-out, few names and values, and NaNs of
// several payloads, so that equal records turn up among crowded anchors.
NodeArena random_arena(std::mt19937_64& random, std::size_t n) {
  NodeArena arena;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name(1, static_cast<char>('a' + random() % 3));
    ParamMap p = random() % 4 == 0
                     ? params({{"f", ParamValue::Float(nan_with(1 + random() % 3))}})
                     : params({{"k", ParamValue::Int(static_cast<std::int64_t>(random() % 4))}});
    NodeKey key = Source{name, std::move(p)};
    if (i > 0 && random() % 5 != 0) {
      const NodeId a = random() % std::min<std::size_t>(i, 3);  // mostly the first few
      const NodeId b = random() % i;
      key = random() % 2 == 0 ? NodeKey(Op{name, {}, {a}}) : NodeKey(Join{{}, {b, a}});
    }
    arena.commit(arena.stage(key));
  }
  return arena;
}

TEST(AdoptByAnchors, AgreesWithTheEagerIndex) {
  std::mt19937_64 random(7);
  int adopted = 0;
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    const NodeArena records = random_arena(random, 1 + random() % 60);
    NodeArena eager_copy = records;
    NodeArena lazy_copy = records;
    InternedArena eager;
    InternedArena lazy;
    const bool distinct = eager.adopt_distinct(eager_copy);
    ASSERT_EQ(lazy.adopt_distinct(lazy_copy, anchors_of(records)), distinct) << round;
    if (!distinct) {
      ++refused;
      EXPECT_EQ(lazy.size(), 0u);
      continue;
    }
    ++adopted;
    // Every key is found under its position, and new keys go after them.
    for (std::size_t i = 0; i < records.size(); ++i) {
      ASSERT_EQ(lazy.find(records.key(i)), NodeId(i));
      ASSERT_EQ(lazy.intern(records.key(i)), NodeId(i));
    }
    EXPECT_EQ(lazy.find(Source{"new", {}}), std::nullopt);
    EXPECT_EQ(lazy.intern(Source{"new", {}}), records.size());
  }
  EXPECT_GT(adopted, 25);  // both outcomes are exercised
  EXPECT_GT(refused, 25);
}

TEST(AdoptByAnchors, EqualNanRecordsWithOtherPayloadsAreRefused) {
  // Equal keys, different bytes: only canonical NaNs compare equal.
  NodeArena arena;
  for (std::uint64_t payload : {1, 2}) {
    arena.commit(arena.stage(Source{"s", params({{"f", ParamValue::Float(nan_with(payload))}})}));
  }
  InternedArena lazy;
  EXPECT_FALSE(lazy.adopt_distinct(arena, anchors_of(arena)));
  EXPECT_EQ(arena.size(), 2u);  // left to the caller
}

TEST(AdoptByAnchors, TruncatingBeforeTheFirstInternKeepsTheRest) {
  NodeArena arena;
  arena.commit(arena.stage(Source{"s", {}}));
  for (NodeId i = 0; i < 20; ++i) arena.commit(arena.stage(Op{"m", {}, {i}}));
  const std::vector<NodeId> anchors = anchors_of(arena);
  InternedArena lazy;
  ASSERT_TRUE(lazy.adopt_distinct(arena, anchors));
  lazy.truncate(5);
  EXPECT_EQ(lazy.arena().wide_size(), summed_wide(lazy.arena()));
  EXPECT_EQ(lazy.intern(Op{"m", {}, {3}}), 4u);
  EXPECT_EQ(lazy.intern(Op{"m", {}, {4}}), 5u);
}

}  // namespace
}  // namespace zembrik
