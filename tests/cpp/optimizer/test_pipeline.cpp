// The reduction pipeline with a stand-in engine that merges nothing, so that
// dead-code elimination, elimination of equal nodes and stage fusion are
// tested on their own.
#include <gtest/gtest.h>

#include <bit>

#include "optimizer/pipeline.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

class IdentityEngine : public RewriteEngine {
 public:
  Canonicalized canonicalize(const EngineGraph& graph) const override {
    Canonicalized out{graph, {}};
    for (EngineId i = 0; i < graph.size(); ++i) out.class_map.push_back(i);
    return out;
  }
};

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_entries(std::move(entries));
}

Reduced reduce(const std::vector<NodeKey>& keys, std::vector<NodeId> outputs,
               bool maximal = false) {
  return reduce_with_mode(arena_of(keys), outputs, IdentityEngine(), maximal);
}

std::vector<std::optional<Landing>> landings(std::initializer_list<std::optional<Landing>> l) {
  return l;
}

TEST(DeadCodeElimination, KeepsWhatOutputsReachInOrder) {
  const std::vector<NodeKey> keys = {Source{"a", {}}, Source{"b", {}}, Op{"f", {}, {0}},
                                     Op{"g", {}, {1}}, Op{"h", {}, {2, 0}}};
  const DeadCodeEliminated dce =
      dead_code_elimination(arena_of(keys), std::vector<NodeId>{4, 2, 4});
  EXPECT_EQ(dce.remap, (std::vector<NodeId>{0, kNoId, 1, kNoId, 2}));
  EXPECT_EQ(dce.outputs, (std::vector<NodeId>{2, 1, 2}));
  ASSERT_EQ(dce.nodes.size(), 3u);
  EXPECT_EQ(dce.nodes.key(2), NodeKey(Op{"h", {}, {1, 0}}));
}

TEST(Pipeline, EmptyOutputsKeepNothing) {
  const Reduced r = reduce({Source{"a", {}}, Op{"f", {}, {0}}}, {});
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.node_map, landings({std::nullopt, std::nullopt}));
  EXPECT_EQ(r.report, (ReductionReport{2, 0, 0, 0, 0, 0}));
}

TEST(Pipeline, ChainFusesIntoOneStage) {
  const Reduced r = reduce({Source{"s", {}}, Op{"op1", {}, {0}}, Op{"op2", {}, {1}}}, {2});
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes.key(0), NodeKey(Source{"s", {}}));
  const Stage expected{
      {0}, {StageOp{"op|op1", {StageRef::Input(0)}}, StageOp{"op|op2", {StageRef::Member(0)}}}};
  EXPECT_EQ(r.nodes.key(1), NodeKey(expected));
  EXPECT_EQ(r.nodes.record(1), arena_of({expected}).record(0));  // canonical bytes
  EXPECT_EQ(r.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(r.report, (ReductionReport{3, 3, 3, 1, 2, 1}));
  EXPECT_EQ(r.node_map, landings({Landing{0, std::nullopt}, Landing{1, 0}, Landing{1, 1}}));
}

// a = op(src), b = op(a), c = op(a), d = add(b, c)
const std::vector<NodeKey> kFanOut = {Source{"src", {}}, Op{"a", {}, {0}}, Op{"b", {}, {1}},
                                      Op{"c", {}, {1}}, Op{"add", {}, {2, 3}}};

TEST(Pipeline, RepeatedOutputsAreKept) {
  const Reduced r = reduce({Source{"s", {}}, Op{"f", {}, {0}}}, {1, 1});
  EXPECT_EQ(r.outputs, (std::vector<NodeId>{1, 1}));
}

TEST(Pipeline, StagesSharingATokenStayApart) {
  // Distinct store keys cannot be equal, but two Stages of one member count
  // with equal inputs and different members must not merge.
  const std::vector<NodeKey> keys = {
      Source{"s", {}},
      Stage{{0}, {StageOp{"op|x", {StageRef::Input(0)}}}},
      Stage{{0}, {StageOp{"op|y", {StageRef::Input(0)}}}},
      Join{{}, {1, 2}},
  };
  const Reduced r = reduce(keys, {3});
  ASSERT_EQ(r.nodes.size(), 4u);
  EXPECT_EQ(r.nodes.key(1), keys[1]);
  EXPECT_EQ(r.nodes.key(2), keys[2]);
}

TEST(Pipeline, UnreachableNodesAreNotCounted) {
  const Reduced r = reduce({Source{"s", {}}, Op{"f", {}, {0}}, Op{"dead", {}, {0}}}, {1});
  EXPECT_EQ(r.report.reachable_nodes, 2u);
  EXPECT_EQ(r.node_map[2], std::nullopt);
}

TEST(Pipeline, OpsFeedingBoundariesAndOutputsStayApart) {
  // f and g both feed the join; h is an output used by k.
  const std::vector<NodeKey> keys = {Source{"s", {}},  Op{"f", {}, {0}}, Op{"g", {}, {0}},
                                     Join{{}, {1, 2}}, Op{"h", {}, {3}}, Op{"k", {}, {4}}};
  for (const bool maximal : {false, true}) {
    const Reduced r = reduce(keys, {5, 4}, maximal);
    EXPECT_EQ(r.report, (ReductionReport{6, 6, 6, 4, 6, 2})) << maximal;
    EXPECT_EQ(r.nodes.key(3), NodeKey(Join{{}, {1, 2}}));
    EXPECT_EQ(r.node_map[5], (Landing{5, 0}));
  }
}

TEST(Pipeline, BoundaryKeysEqualUpToNanPayloadsMerge) {
  // Unequal records, equal keys: the first one is kept, payload and all.
  const auto nan_source = [](std::uint64_t bits) {
    return Source{"s",
                  ParamMap::from_entries({{"x", ParamValue::Float(std::bit_cast<double>(bits))}})};
  };
  const std::vector<NodeKey> keys = {nan_source(0x7FF0000000000001ULL),
                                     nan_source(0xFFF8000000000000ULL), Join{{}, {0, 1}}};
  const Reduced r = reduce(keys, {2});
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes.record(0), arena_of(keys).record(0));
  EXPECT_EQ(r.nodes.key(1), NodeKey(Join{{}, {0, 0}}));
  EXPECT_EQ(r.node_map, landings({Landing{0, std::nullopt}, Landing{0, std::nullopt},
                                  Landing{1, std::nullopt}}));
}

TEST(Pipeline, InputIdsOfSeveralBytes) {
  // A long run of sources so that ids take two and three varint bytes, and
  // every boundary kind reading them back.
  std::vector<NodeKey> keys;
  for (int i = 0; i < 20000; ++i) keys.push_back(Source{std::to_string(i), {}});
  const PayloadDescriptor d{"k", "h", "f", "v", "s", std::nullopt};
  keys.push_back(Op{"f", {}, {127, 128, 16383, 16384}});
  keys.push_back(External{d, {}, {20000, 19999}});
  keys.push_back(Stage{{20001, 300}, {StageOp{"op|x", {StageRef::Input(1), StageRef::Input(0)}}}});
  keys.push_back(Join{{}, {20002, 200}});
  const DeadCodeEliminated dce = dead_code_elimination(arena_of(keys), std::vector<NodeId>{20003});
  EXPECT_EQ(dce.nodes.keys().back(), NodeKey(Join{{}, {9, 2}}));
  EXPECT_EQ(dce.nodes.key(7), NodeKey(Op{"f", {}, {0, 1, 4, 5}}));
  const Reduced r = reduce(keys, {20003});
  EXPECT_EQ(r.report.reachable_nodes, 11u);
  EXPECT_EQ(r.nodes.key(8), NodeKey(External{d, {}, {7, 6}}));
  EXPECT_EQ(r.nodes.key(9),
            NodeKey(Stage{{8, 3}, {StageOp{"op|x", {StageRef::Input(1), StageRef::Input(0)}}}}));
}

// A reduced store extended and reduced again: the Ops recorded anew fuse into
// Stages equal to the input Stage nodes, which are boundaries.
const Stage kStageF{{0}, {StageOp{"op|f", {StageRef::Input(0)}}}};

TEST(Pipeline, FusedStageEqualToAnInputStageIsEmittedOnce) {
  const std::vector<NodeKey> keys = {Source{"a", {}}, kStageF, Op{"f", {}, {0}},
                                     Op{"sub", {}, {1, 2}}};
  for (const bool maximal : {false, true}) {
    const Reduced r = reduce(keys, {3, 2}, maximal);
    const Stage sub{{1}, {StageOp{"op|sub", {StageRef::Input(0), StageRef::Input(0)}}}};
    EXPECT_EQ(r.nodes.keys(), (std::vector<NodeKey>{keys[0], kStageF, sub})) << maximal;
    EXPECT_EQ(r.report, (ReductionReport{4, 4, 4, 1, 3, 2})) << maximal;
    EXPECT_EQ(r.outputs, (std::vector<NodeId>{2, 1}));
    EXPECT_EQ(r.node_map, landings({Landing{0, std::nullopt}, Landing{1, std::nullopt},
                                    Landing{1, 0}, Landing{2, 0}}));
  }
}

TEST(Pipeline, InputStageEqualToAnEarlierFusedStageTakesItsId) {
  const std::vector<NodeKey> keys = {Source{"a", {}}, Op{"f", {}, {0}}, kStageF, Join{{}, {1, 2}}};
  const Reduced r = reduce(keys, {3});
  EXPECT_EQ(r.nodes.keys(), (std::vector<NodeKey>{keys[0], kStageF, Join{{}, {1, 1}}}));
  EXPECT_EQ(r.report, (ReductionReport{4, 4, 4, 1, 3, 2}));
  EXPECT_EQ(r.node_map, landings({Landing{0, std::nullopt}, Landing{1, 0}, Landing{1, std::nullopt},
                                  Landing{2, std::nullopt}}));
}

TEST(Pipeline, NodesOverAnEmittedDuplicateCascade) {
  // g(4) and the second exchange become equal to g(1) and the first one once
  // f(0) resolves to the input Stage; the exchanges' NaNs differ in payload.
  const auto nan_exchange = [](std::uint64_t bits, NodeId input) {
    return Exchange{params({{"x", ParamValue::Float(std::bit_cast<double>(bits))}}), {input}};
  };
  const std::vector<NodeKey> keys = {
      Source{"a", {}},
      kStageF,
      Op{"g", {}, {1}},
      nan_exchange(0x7FF0000000000001ULL, 1),
      Op{"f", {}, {0}},
      Op{"g", {}, {4}},
      nan_exchange(0xFFF8000000000000ULL, 4),
      Join{{}, {2, 3, 5, 6}},
  };
  const Stage stage_g{{1}, {StageOp{"op|g", {StageRef::Input(0)}}}};
  for (const bool maximal : {false, true}) {
    const Reduced r = reduce(keys, {7, 4}, maximal);
    ASSERT_EQ(r.nodes.size(), 5u) << maximal;
    EXPECT_EQ(r.nodes.key(1), NodeKey(kStageF));
    EXPECT_EQ(r.nodes.key(2), NodeKey(stage_g));
    EXPECT_EQ(r.nodes.record(3), arena_of(keys).record(3));  // the first payload
    EXPECT_EQ(r.nodes.key(4), NodeKey(Join{{}, {2, 3, 2, 3}}));
    EXPECT_EQ(r.report, (ReductionReport{8, 8, 8, 1, 5, 4}));
    EXPECT_EQ(r.outputs, (std::vector<NodeId>{4, 1}));
    EXPECT_EQ(r.node_map,
              landings({Landing{0, std::nullopt}, Landing{1, std::nullopt}, Landing{2, 0},
                        Landing{3, std::nullopt}, Landing{1, 0}, Landing{2, 0},
                        Landing{3, std::nullopt}, Landing{4, std::nullopt}}));
  }
}

TEST(Pipeline, IsDeterministic) {
  const Reduced a = reduce(kFanOut, {4, 2}, true);
  const Reduced b = reduce(kFanOut, {4, 2}, true);
  EXPECT_EQ(a.nodes.keys(), b.nodes.keys());
  EXPECT_EQ(a.node_map, b.node_map);
  EXPECT_EQ(a.report, b.report);
}

}  // namespace
}  // namespace zembrik
