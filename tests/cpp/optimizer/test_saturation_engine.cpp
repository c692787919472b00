// The rewrite-engine binding: the twelve rules and the read-back of classes.
#include <gtest/gtest.h>

#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

constexpr const char* kAddZeroRight = "op|add|scalar=f0000000000000000;side=sr";

std::vector<std::pair<std::string, std::vector<EngineId>>> nodes_of(const EngineGraph& g) {
  std::vector<std::pair<std::string, std::vector<EngineId>>> out;
  for (EngineId i = 0; i < g.size(); ++i) {
    const auto in = g.inputs_of(i);
    out.emplace_back(g.token_of(i), std::vector<EngineId>(in.begin(), in.end()));
  }
  return out;
}

using Nodes = std::vector<std::pair<std::string, std::vector<EngineId>>>;

TEST(SaturationEngine, BuildsTwelveRulesInOrder) {
  const SaturationEngine engine;
  ASSERT_EQ(engine.rules().size(), 12u);
  EXPECT_EQ(engine.rules()[0].name().as_str(), "commute-add");
  EXPECT_EQ(engine.rules()[7].name().as_str(), "commute-minimum");
  EXPECT_EQ(engine.rules()[8].name().as_str(), "identity-0");
  EXPECT_EQ(engine.rules()[11].name().as_str(), "identity-3");
  EXPECT_EQ(engine.max_iterations(), 12u);
}

TEST(SaturationEngine, EmptyGraph) {
  const Canonicalized c = SaturationEngine().canonicalize(EngineGraph{});
  EXPECT_EQ(c.graph.size(), 0u);
  EXPECT_TRUE(c.graph.outputs.empty());
  EXPECT_TRUE(c.class_map.empty());
}

TEST(SaturationEngine, CommutedPairKeepsTheFirstOrientation) {
  const Canonicalized c = SaturationEngine().canonicalize(
      graph_of({{"src|a", {}}, {"src|b", {}}, {"op|add", {0, 1}}, {"op|add", {1, 0}}}, {3, 2}));
  EXPECT_EQ(nodes_of(c.graph), (Nodes{{"src|a", {}}, {"src|b", {}}, {"op|add", {0, 1}}}));
  EXPECT_EQ(c.class_map, (std::vector<EngineId>{0, 1, 2, 2}));
  EXPECT_EQ(c.graph.outputs, (std::vector<EngineId>{2, 2}));
  EXPECT_TRUE(c.graph.nodes[0].boundary);
  EXPECT_FALSE(c.graph.nodes[2].boundary);
}

TEST(SaturationEngine, IdenticalNodesShareAClassWithoutRules) {
  const Canonicalized c =
      SaturationEngine().canonicalize(graph_of({{"src|x", {}}, {"op|f", {0}}, {"op|f", {0}}}, {2}));
  EXPECT_EQ(c.class_map, (std::vector<EngineId>{0, 1, 1}));
}

TEST(SaturationEngine, MergesPropagateByCongruence) {
  // y = x + 0, so mul(x, y) and mul(y, x) both become mul(x, x).
  const Canonicalized c = SaturationEngine().canonicalize(
      graph_of({{"src|x", {}}, {kAddZeroRight, {0}}, {"op|mul", {0, 1}}, {"op|mul", {1, 0}}}, {3}));
  EXPECT_EQ(nodes_of(c.graph), (Nodes{{"src|x", {}}, {"op|mul", {0, 0}}}));
  EXPECT_EQ(c.graph.outputs, (std::vector<EngineId>{1}));
}

TEST(ReduceWithEngine, SwappedDuplicatesAndIdentitiesDisappear) {
  const std::vector<NodeKey> keys = {
      Source{"a", {}},
      Source{"b", {}},
      Op{"add", {}, {0, 1}},
      Op{"add", {}, {1, 0}},
      Op{"add", scalar(0.0, "r"), {3}},
      Join{{}, {2, 4}},
  };
  const Reduced r =
      reduce_with_mode(arena_of(keys), std::vector<NodeId>{5}, SaturationEngine(), false);
  EXPECT_EQ(r.report, (ReductionReport{6, 6, 4, 1, 4, 3}));
  const Stage add = std::get<Stage>(r.nodes.key(2));
  EXPECT_EQ(add.inputs, (NodeIds{0, 1}));
  EXPECT_EQ(r.nodes.key(3), NodeKey(Join{{}, {2, 2}}));
  EXPECT_EQ(r.node_map[3], r.node_map[2]);
  EXPECT_EQ(r.node_map[4], r.node_map[2]);
}

}  // namespace
}  // namespace zembrik
