// The arena's running wide size: each record's size in the blob's field
// widths, added up as records are appended, truncated and sliced.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "arena/interned_arena.hpp"
#include "ir/record.hpp"

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
    [](const testing::TestParamInfo<WideCase>& info) { return info.param.name; });

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

}  // namespace
}  // namespace zembrik
