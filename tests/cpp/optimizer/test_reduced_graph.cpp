// Reduced stores and cones: the stores built from reductions, their marks and
// node maps, and the id checks of the operations that take explicit outputs.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "optimizer/direct_engine.hpp"
#include "optimizer/reduced_graph.hpp"

namespace zembrik {
namespace {

const std::nullopt_t kDropped = std::nullopt;

Graph store_of(const std::vector<NodeKey>& keys, std::vector<NodeId> marks = {}) {
  Graph store;
  for (const NodeKey& key : keys) EXPECT_TRUE(store.intern(key).ok());
  for (NodeId id : marks) EXPECT_TRUE(store.mark_output(id).ok());
  return store;
}

// source, op1(source), op2(op1)
const std::vector<NodeKey> kChain = {Source{"s", {}}, Op{"op1", {}, {0}}, Op{"op2", {}, {1}}};

// Five nodes: two sources, an Op over both, an Op over that, a Join.
const std::vector<NodeKey> kFive = {Source{"a", {}}, Source{"b", {}}, Op{"f", {}, {0, 1}},
                                    Op{"g", {}, {2}}, Join{{}, {3, 1}}};

ReducedGraph reduce_to(const Graph& store, std::vector<NodeId> outputs, bool maximal = false) {
  Result<ReducedGraph, BadNodeId> r =
      reduce_with_outputs(store.arena(), outputs, DirectEngine(), maximal);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

TEST(ReducedGraph, StoreWithoutMarksReducesToNothing) {
  const Graph store = store_of(kFive);
  for (const bool maximal : {false, true}) {
    const ReducedGraph r = reduce_with(store.snapshot(), DirectEngine(), maximal);
    EXPECT_EQ(r.graph.node_count(), 0u);
    EXPECT_TRUE(r.graph.outputs().empty());
    EXPECT_EQ(r.graph.node_map(), NodeMap(5, kDropped));
    EXPECT_EQ(r.report, (ReductionReport{5, 0, 0, 0, 0, 0}));
  }
}

TEST(ReducedGraph, ExplicitOutputsOverrideTheMarks) {
  const Graph store = store_of(kFive, {4});
  const ReducedGraph none = reduce_to(store, {});
  EXPECT_EQ(none.graph.node_count(), 0u);
  EXPECT_EQ(none.graph.node_map(), NodeMap(5, kDropped));
  EXPECT_EQ(none.report, (ReductionReport{5, 0, 0, 0, 0, 0}));

  // g alone: a, b and f feed it, the Join is dropped.
  const ReducedGraph g = reduce_to(store, {3});
  EXPECT_EQ(g.report.reachable_nodes, 4u);
  EXPECT_EQ(g.graph.outputs(), (std::vector<NodeId>{2}));
  EXPECT_EQ(g.graph.node_map()[4], kDropped);
  EXPECT_EQ(store.outputs(), (std::vector<NodeId>{4}));  // the source store is untouched
  EXPECT_TRUE(store.node_map().empty());
}

TEST(ReducedGraph, RepeatedOutputMarksOnce) {
  const ReducedGraph r = reduce_to(store_of(kChain), {2, 2});
  EXPECT_EQ(r.graph.outputs(), (std::vector<NodeId>{1}));
}

TEST(ReducedGraph, OutputsFollowTheGivenOrder) {
  // Two independent lanes; outputs named last lane first.
  const std::vector<NodeKey> keys = {Source{"a", {}}, Op{"f", {}, {0}}, Source{"b", {}},
                                     Op{"g", {}, {2}}};
  const ReducedGraph r = reduce_to(store_of(keys), {3, 1});
  const NodeMap map = r.graph.node_map();
  EXPECT_EQ(r.graph.outputs(), (std::vector<NodeId>{map[3]->node, map[1]->node}));
}

TEST(ReducedGraph, FirstBadIdIsReportedAndNothingIsBuilt) {
  const Graph store = store_of(kFive);
  const std::pair<std::vector<NodeId>, NodeId> cases[] = {{{5}, 5}, {{1, 7, 9}, 7}, {{9, 0}, 9}};
  for (const auto& [ids, first_bad] : cases) {
    Result<ReducedGraph, BadNodeId> reduced =
        reduce_with_outputs(store.arena(), ids, DirectEngine(), false);
    ASSERT_FALSE(reduced.ok());
    EXPECT_EQ(reduced.error(), BadNodeId{first_bad});
    Result<Graph, BadNodeId> cut = cone(store.arena(), ids);
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error(), BadNodeId{first_bad});
  }
}

TEST(Cone, OfNothingIsEmptyWithAnAllAbsentMap) {
  Result<Graph, BadNodeId> cut = cone(store_of(kFive, {4}).arena(), std::vector<NodeId>{});
  ASSERT_TRUE(cut.ok());
  EXPECT_EQ(cut.value().node_count(), 0u);
  EXPECT_TRUE(cut.value().outputs().empty());
  EXPECT_EQ(cut.value().node_map(), NodeMap(5, kDropped));
}

TEST(Cone, OfAChainPrefix) {
  Result<Graph, BadNodeId> cut = cone(store_of(kChain).arena(), std::vector<NodeId>{1});
  ASSERT_TRUE(cut.ok());
  const StoreSnapshot copy = cut.value().snapshot();
  EXPECT_EQ(copy.arena.keys(), (std::vector<NodeKey>{Source{"s", {}}, Op{"op1", {}, {0}}}));
  EXPECT_EQ(copy.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(cut.value().node_map(),
            (NodeMap{Landing{0, std::nullopt}, Landing{1, std::nullopt}, kDropped}));
}

TEST(Cone, KeepsEveryKindAsItIsApartFromInputs) {
  // Nothing is merged or fused: the swapped add, the identity op and the
  // equal-token stages all stay, and a NaN keeps its payload.
  const double nan = std::bit_cast<double>(0x7FF0000000000123ULL);
  const ParamMap zero =
      ParamMap::from_entries({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
  const PayloadDescriptor d{"k", "h", "f", "v", "s", "pre"};
  const std::vector<NodeKey> keys = {
      Source{"dead", {}},
      Source{"a", ParamMap::from_entries({{"x", ParamValue::Float(nan)}})},
      Source{"b", {}},
      Op{"add", {}, {1, 2}},
      Op{"add", {}, {2, 1}},
      Op{"add", zero, {3}},
      Reduction{"sum", ParamMap::from_entries({{"axis", ParamValue::Int(-1)}}), {5}},
      External{d, ParamMap::from_entries({{"batch", ParamValue::Int(300)}}), {6, 4}},
      Stage{{7}, {StageOp{"op|x", {StageRef::Input(0)}}}},
      Stage{{7}, {StageOp{"op|y", {StageRef::Input(0)}}}},
      Exchange{ParamMap::from_entries({{"scheme", ParamValue::Str("hash")}}), {8}},
      Join{{}, {10, 9}},
  };
  Result<Graph, BadNodeId> cut = cone(store_of(keys).arena(), std::vector<NodeId>{11});
  ASSERT_TRUE(cut.ok());
  const std::vector<NodeKey> kept = cut.value().snapshot().arena.keys();
  ASSERT_EQ(kept.size(), keys.size() - 1);
  for (NodeId i = 1; i < keys.size(); ++i) {
    NodeIds inputs = inputs_of(keys[i]);
    for (NodeId& x : inputs) --x;  // everything moves down past the dead source
    EXPECT_EQ(kept[i - 1], with_inputs(keys[i], inputs)) << i;
  }
  const double kept_nan = std::get<Source>(kept[0]).params[0].second.as_float();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(kept_nan), 0x7FF0000000000123ULL);
}

TEST(ReducedGraph, NodeMapNamesStagesAndMembers) {
  const ReducedGraph r = reduce_to(store_of(kChain), {2});
  EXPECT_EQ(r.graph.node_map(), (NodeMap{Landing{0, std::nullopt}, Landing{1, 0}, Landing{1, 1}}));
  const NodeKey stage = r.graph.snapshot().arena.key(1);
  EXPECT_EQ(std::get<Stage>(stage).members.size(), 2u);
}

TEST(ReducedGraph, ReducingAgainMapsTheFirstReducedIds) {
  // The chain reduces to {source, stage}; a new op on the stage, reduced
  // again, gives a map with one entry per node of that first reduced store.
  ReducedGraph first = reduce_to(store_of(kChain), {2});
  ASSERT_TRUE(first.graph.intern(Op{"h", {}, {1}}).ok());
  const ReducedGraph second = reduce_to(first.graph, {2});
  const NodeMap map = second.graph.node_map();
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map[0], (Landing{0, std::nullopt}));
  EXPECT_EQ(map[1], (Landing{1, std::nullopt}));  // the old stage is a boundary now
  EXPECT_EQ(map[2], (Landing{2, 0}));
  EXPECT_EQ(first.graph.node_map().size(), 3u);  // still the map of the first reduction
}

TEST(FromReduced, EqualKeysShareAnIdAndTheMapFollows) {
  // Not a reduction's output, but what from_reduced must still handle:
  // nodes 0 and 1 are equal keys, so the Op's input and every reference to
  // node 1 become id 0.
  Reduced reduced;
  for (const NodeKey& key : {NodeKey(Source{"a", {}}), NodeKey(Source{"a", {}}),
                             NodeKey(Op{"f", {}, {1}}), NodeKey(Source{"b", {}})}) {
    reduced.nodes.commit(reduced.nodes.stage(key));
  }
  reduced.outputs = {2, 1, 0, 3};
  reduced.node_map = {Landing{1, std::nullopt}, kDropped, Landing{2, 5}, Landing{3, std::nullopt}};
  reduced.report = ReductionReport{4, 3, 3, 1, 3, 2};
  const ReducedGraph r = from_reduced(std::move(reduced));
  EXPECT_EQ(r.graph.snapshot().arena.keys(),
            (std::vector<NodeKey>{Source{"a", {}}, Op{"f", {}, {0}}, Source{"b", {}}}));
  EXPECT_EQ(r.graph.outputs(), (std::vector<NodeId>{1, 0, 2}));
  EXPECT_EQ(r.graph.node_map(),
            (NodeMap{Landing{0, std::nullopt}, kDropped, Landing{1, 5}, Landing{2, std::nullopt}}));
  EXPECT_EQ(r.report, (ReductionReport{4, 3, 3, 1, 3, 2}));
}

}  // namespace
}  // namespace zembrik
