// The incremental reducer: what a step folds, partial consumption, finalize.
#include <gtest/gtest.h>

#include "optimizer/incremental_reducer.hpp"
#include "test_names.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

std::uint64_t must(Result<std::uint64_t, BadNodeId> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : 0;
}

struct FoldCase {
  const char* name;
  std::vector<NodeKey> keys;
  std::uint64_t canonical;
};

class Folds : public testing::TestWithParam<FoldCase> {};

TEST_P(Folds, CanonicalCount) {
  IncrementalReducer r;
  EXPECT_EQ(must(r.step(arena_of(GetParam().keys))), GetParam().keys.size());
  EXPECT_EQ(r.canonical_count(), GetParam().canonical) << GetParam().name;
  EXPECT_EQ(r.watermark(), r.total_work());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Folds,
    testing::Values(FoldCase{"identity", {Source{"x", {}}, Op{"add", scalar(0.0, "r"), {0}}}, 1},
                    FoldCase{"swapped pair",
                             {Source{"a", {}}, Source{"b", {}}, Op{"add", {}, {0, 1}},
                              Op{"add", {}, {1, 0}}},
                             3},
                    FoldCase{"merges propagate",
                             {Source{"x", {}}, Op{"add", scalar(0.0, "r"), {0}},
                              Op{"mul", {}, {0, 1}}, Op{"mul", {}, {1, 0}}},
                             2}),
    by_name);

TEST(IncrementalReducer, StepsConsumeOnlyTheDelta) {
  const std::vector<NodeKey> keys = {Source{"a", {}}, Source{"b", {}}, Op{"f", {}, {0}},
                                     Op{"g", {}, {1}}, Op{"h", {}, {2, 3}}};
  const NodeArena all = arena_of(keys);
  IncrementalReducer r;
  EXPECT_EQ(must(r.step(all.slice_from(5))), 0u);
  NodeArena first = arena_of({keys[0], keys[1]});
  EXPECT_EQ(must(r.step(first)), 2u);
  EXPECT_EQ(must(r.step(all.slice_from(r.watermark()))), 3u);
  EXPECT_EQ(must(r.step(all.slice_from(r.watermark()))), 0u);
  EXPECT_EQ(r.watermark(), 5u);
  EXPECT_EQ(r.total_work(), 5u);
}

TEST(IncrementalReducer, BadInputKeepsTheNodesBeforeIt) {
  IncrementalReducer r;
  const auto failed =
      r.step(arena_of({Source{"a", {}}, Op{"f", {}, {0}}, Op{"g", {}, {7}}, Op{"h", {}, {0}}}));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), BadNodeId{7});
  EXPECT_EQ(r.watermark(), 2u);
  EXPECT_EQ(r.total_work(), 0u);
}

TEST(IncrementalReducer, FinalizeIndexesTheNodeMapByStoreIds) {
  // Sources a, b; add(a, b); add(b, a) marked: the first orientation survives.
  IncrementalReducer r;
  must(r.step(
      arena_of({Source{"a", {}}, Source{"b", {}}, Op{"add", {}, {0, 1}}, Op{"add", {}, {1, 0}}})));
  const auto reduced = r.finalize(std::vector<NodeId>{3}, false);
  ASSERT_TRUE(reduced);
  EXPECT_EQ(reduced.value().report.input_nodes, 3u);
  EXPECT_EQ(reduced.value().report.reachable_nodes, 3u);
  EXPECT_EQ(std::get<Stage>(reduced.value().nodes.key(2)).inputs, (NodeIds{0, 1}));
  ASSERT_EQ(reduced.value().node_map.size(), 4u);
  EXPECT_EQ(reduced.value().node_map[3], reduced.value().node_map[2]);

  const auto again = r.finalize(std::vector<NodeId>{3}, false);
  EXPECT_EQ(again.value().nodes.keys(), reduced.value().nodes.keys());
  EXPECT_EQ(again.value().report, reduced.value().report);

  const auto none = r.finalize(std::vector<NodeId>{}, false);
  EXPECT_TRUE(none.value().nodes.empty());
  EXPECT_EQ(none.value().node_map, NodeMap(4));
  EXPECT_EQ(r.finalize(std::vector<NodeId>{4}, false).error(), BadNodeId{4});
}

}  // namespace
}  // namespace zembrik
