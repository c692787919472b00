// The two passes around the engine: flattening kept nodes into tokens, and
// merging the equal nodes the engine left.
#include <gtest/gtest.h>

#include <bit>

#include "ir/token.hpp"
#include "optimizer/pipeline.hpp"
#include "test_names.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

std::vector<EngineId> inputs_of(const EngineGraph& g, EngineId id) {
  const auto in = g.inputs_of(id);
  return {in.begin(), in.end()};
}

EngineInput flatten(const std::vector<NodeKey>& keys, std::vector<NodeId> outputs) {
  const NodeArena nodes = arena_of(keys);
  return to_engine_graph(nodes, find_live_nodes(nodes, outputs));
}

TEST(ToEngineGraph, OpsKeepTheirTokensAndBoundariesGetOneSymbolPerKey) {
  const std::vector<NodeKey> keys = {
      Source{"a", {}},     Source{"b", {}},  Op{"dead", {}, {0}}, Op{"f", {}, {0, 1}},
      Op{"f", {}, {1, 0}}, Join{{}, {3, 4}}, Join{{}, {4, 3}},    Source{"a", {}},
  };
  const EngineInput in = flatten(keys, {5, 6, 7, 5});
  const EngineGraph& g = in.graph;
  ASSERT_EQ(g.size(), 7u);  // all but the dead op, renumbered
  EXPECT_EQ(g.token_of(0), "source#0");
  EXPECT_EQ(g.token_of(1), "source#1");
  EXPECT_EQ(g.token_of(2), token(keys[3]));
  EXPECT_EQ(g.nodes[2].token, g.nodes[3].token);  // one Op key, one token
  EXPECT_EQ(g.nodes[4].token, g.nodes[5].token);  // the joins differ only in inputs
  EXPECT_EQ(g.nodes[6].token, g.nodes[0].token);  // equal sources
  EXPECT_EQ(inputs_of(g, 3), (std::vector<EngineId>{1, 0}));
  EXPECT_EQ(inputs_of(g, 5), (std::vector<EngineId>{3, 2}));
  EXPECT_EQ(g.outputs, (std::vector<EngineId>{4, 5, 6, 4}));
  for (EngineId i = 0; i < g.size(); ++i) EXPECT_EQ(g.nodes[i].boundary, i != 2 && i != 3) << i;
  // A boundary token is rebuilt from the first kept node with its key.
  ASSERT_EQ(in.boundary_source.size(), g.tokens.size());
  EXPECT_EQ(in.boundary_source[g.nodes[0].token], 0u);
  EXPECT_EQ(in.boundary_source[g.nodes[5].token], 5u);
  EXPECT_EQ(in.boundary_source[g.nodes[2].token], kNoId);
}

TEST(ToEngineGraph, KeysEqualUpToNanPayloadsShareASymbol) {
  const auto with_nan = [](std::uint64_t bits) {
    return Exchange{ParamMap::from_entries({{"x", ParamValue::Float(std::bit_cast<double>(bits))}}),
                    {0}};
  };
  const EngineInput in = flatten({Source{"s", {}}, with_nan(0x7FF0000000000001ULL),
                                  with_nan(0xFFF8000000000000ULL), Join{{}, {1, 2}}},
                                 {3});
  EXPECT_EQ(in.graph.nodes[1].token, in.graph.nodes[2].token);
  EXPECT_EQ(in.boundary_source[in.graph.nodes[1].token], 1u);
}

// Enough identities to grow both of the pass's tables several times: every
// repeat must still find the token its identity got first.
TEST(ToEngineGraph, RepeatedIdentitiesKeepTheirFirstTokenAcrossGrowth) {
  constexpr NodeId kCount = 300;
  std::vector<NodeKey> keys = {Source{"s", {}}};
  for (int round = 0; round < 2; ++round) {
    for (NodeId k = 0; k < kCount; ++k) keys.push_back(Op{"f" + std::to_string(k), {}, {0}});
  }
  std::vector<NodeId> outputs;
  for (NodeId id = 1; id < keys.size(); ++id) outputs.push_back(id);
  const EngineInput in = flatten(keys, outputs);
  const EngineGraph& g = in.graph;
  ASSERT_EQ(g.size(), keys.size());
  ASSERT_EQ(g.tokens.size(), kCount + 1);
  EXPECT_EQ(g.token_of(0), "source#0");
  for (NodeId k = 0; k < kCount; ++k) {
    EXPECT_EQ(g.nodes[1 + k].token, 1 + k) << k;
    EXPECT_EQ(g.nodes[1 + kCount + k].token, 1 + k) << k;
    EXPECT_EQ(g.token_of(1 + k), token(keys[1 + k])) << k;
    EXPECT_EQ(in.boundary_source[1 + k], kNoId) << k;
  }
}

struct CseCase {
  const char* name;
  std::vector<std::pair<std::string, std::vector<EngineId>>> nodes;
  std::vector<EngineId> outputs;
  std::vector<EngineId> cse_map;
};

class Cse : public testing::TestWithParam<CseCase> {};

TEST_P(Cse, MergesEqualTokensOverEqualInputs) {
  const CseCase& c = GetParam();
  const EngineGraph g = graph_of(c.nodes, c.outputs);
  const Eliminated e = cse(g);
  EXPECT_EQ(e.cse_map, c.cse_map) << c.name;
  EXPECT_EQ(e.graph.tokens, g.tokens);
  // The first of each class survives, over the survivors' ids.
  for (EngineId i = 0; i < g.size(); ++i) {
    const EngineId kept = e.cse_map[i];
    EXPECT_EQ(e.graph.nodes[kept].token, g.nodes[i].token) << c.name;
    EXPECT_EQ(e.graph.nodes[kept].boundary, g.nodes[i].boundary) << c.name;
    std::vector<EngineId> mapped;
    for (EngineId x : g.inputs_of(i)) mapped.push_back(e.cse_map[x]);
    EXPECT_EQ(inputs_of(e.graph, kept), mapped) << c.name;
  }
  std::vector<EngineId> outputs;
  for (EngineId o : g.outputs) outputs.push_back(e.cse_map[o]);
  EXPECT_EQ(e.graph.outputs, outputs) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Cse,
    testing::Values(
        CseCase{"empty", {}, {}, {}},
        CseCase{"distinct", {{"src|a", {}}, {"op|f", {0}}, {"op|g", {0}}}, {1, 2}, {0, 1, 2}},
        CseCase{"equal nodes", {{"src|a", {}}, {"op|f", {0}}, {"op|f", {0}}}, {2, 1}, {0, 1, 1}},
        CseCase{"merges cascade",
                {{"src|a", {}}, {"src|a", {}}, {"op|f", {0}}, {"op|f", {1}}, {"op|g", {2, 3}}},
                {4},
                {0, 0, 1, 1, 2}},
        CseCase{"operand order matters",
                {{"src|a", {}}, {"src|b", {}}, {"op|add", {0, 1}}, {"op|add", {1, 0}}},
                {2, 3},
                {0, 1, 2, 3}},
        CseCase{"arity matters",
                {{"src|a", {}}, {"op|f", {0}}, {"op|f", {0, 0}}, {"op|f", {}}, {"op|f", {0}}},
                {4},
                {0, 1, 2, 3, 1}}),
    by_name);

}  // namespace
}  // namespace zembrik
