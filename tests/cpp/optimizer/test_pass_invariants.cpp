// The checks after each pass: what real passes produce passes them, each
// broken promise fails them, and the pipeline runs them in this build.
#include <gtest/gtest.h>

#include <functional>

#include "base/failure.hpp"
#include "ir/key_record.hpp"
#include "optimizer/pass_invariants.hpp"
#include "optimizer/saturation_engine.hpp"
#include "test_names.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

ParamMap add_zero() {
  return ParamMap::from_entries(
      {{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
}

// Every pass's result on a graph with something for each pass to do: a dead
// node, an identity, a commuted pair and a boundary between Ops.
struct Passes {
  NodeArena nodes = arena_of({Source{"a", {}}, Source{"b", {}}, Op{"dead", {}, {0}},
                              Op{"add", {}, {0, 1}}, Op{"add", {}, {1, 0}},
                              Op{"add", add_zero(), {4}}, Join{{}, {3, 5}}, Op{"f", {}, {6}}});
  LiveNodes live = find_live_nodes(nodes, std::vector<NodeId>{7, 3});
  EngineInput input = to_engine_graph(nodes, live);
  Canonicalized canonical = SaturationEngine().canonicalize(input.graph);
  Eliminated eliminated = cse(canonical.graph);
  FusedGraph fused = fuse_stages(
      eliminated.graph, false, [&](EngineId id, std::span<const NodeId> ins, std::string& out) {
        const NodeId source = input.boundary_source[eliminated.graph.nodes[id].token];
        NodeIds ignored;
        record::append_with_inputs(record::split_at_inputs(nodes.record(source), ignored), ins,
                                   out);
        return false;
      });

  void verify_all() const {
    verify(live, nodes.size());
    verify(input);
    verify(canonical, input.graph);
    verify(eliminated, canonical.graph);
    verify(fused, eliminated.graph);
  }
};

TEST(PassInvariants, RealPassesKeepThem) {
  const Passes p;
  ASSERT_LT(p.canonical.graph.size(), p.input.graph.size());  // the engine merged something
  EXPECT_NO_THROW(p.verify_all());
}

struct Breakage {
  const char* name;
  const char* promise;  // the part of the failure message naming it
  std::function<void(Passes&)> apply;
};

class BrokenPromise : public testing::TestWithParam<Breakage> {};

TEST_P(BrokenPromise, FailsNamingIt) {
  Passes p;
  GetParam().apply(p);
  try {
    p.verify_all();
    ADD_FAILURE() << GetParam().name << ": no failure";
  } catch (const InternalFailure& failure) {
    EXPECT_NE(std::string(failure.what()).find(GetParam().promise), std::string::npos)
        << failure.what();
  }
}

// The node of a graph that has an input, to point it elsewhere.
EngineId first_with_inputs(const EngineGraph& g) {
  EngineId i = 0;
  while (g.nodes[i].input_count == 0) ++i;
  return i;
}

INSTANTIATE_TEST_SUITE_P(
    Each, BrokenPromise,
    testing::Values(
        Breakage{"kept out of order", "kept nodes ascend",
                 [](Passes& p) {
                   std::swap(p.live.kept[0], p.live.kept[1]);
                   std::swap(p.live.remap[0], p.live.remap[1]);
                 }},
        Breakage{"remap disagrees", "remap drops every node not kept",
                 [](Passes& p) { p.live.remap[2] = 0; }},
        Breakage{"dead output", "outputs are kept",
                 [](Passes& p) { p.live.outputs[0] = p.live.kept.size(); }},
        Breakage{"forward input", "topologically ordered",
                 [](Passes& p) {
                   EngineGraph& g = p.input.graph;
                   g.inputs[g.nodes[first_with_inputs(g)].first_input] = g.size() - 1;
                 }},
        Breakage{"output beyond the graph", "outputs are nodes",
                 [](Passes& p) { p.input.graph.outputs.push_back(p.input.graph.size()); }},
        Breakage{"unknown token", "token is in the table",
                 [](Passes& p) { p.input.graph.nodes[0].token = 99; }},
        Breakage{"boundary flag off", "boundary flags follow tokens",
                 [](Passes& p) { p.input.graph.nodes[0].boundary = false; }},
        Breakage{"op flagged boundary", "boundary flags follow tokens",
                 [](Passes& p) {
                   EngineGraph& g = p.canonical.graph;
                   g.nodes[first_with_inputs(g)].boundary = true;
                 }},
        Breakage{"boundary token without key", "every boundary token has a key",
                 [](Passes& p) { p.input.boundary_source[0] = kNoId; }},
        Breakage{"class map short", "an entry per node",
                 [](Passes& p) { p.canonical.class_map.pop_back(); }},
        Breakage{"class beyond the graph", "points into the graph",
                 [](Passes& p) { p.canonical.class_map[0] = p.canonical.graph.size(); }},
        Breakage{"canonical node without a class", "every node represents a class",
                 [](Passes& p) {
                   // Node 1 takes node 0's class, so nothing maps to 1.
                   for (EngineId& c : p.canonical.class_map) c = c == 1 ? 0 : c;
                 }},
        Breakage{"outputs do not follow", "the class of the one before",
                 [](Passes& p) {
                   std::swap(p.canonical.graph.outputs[0], p.canonical.graph.outputs[1]);
                 }},
        Breakage{"counts do not add up", "stages and boundaries add up",
                 [](Passes& p) { ++p.fused.stages; }},
        Breakage{"a node unplaced", "every engine node is placed",
                 [](Passes& p) { p.fused.placement.pop_back(); }},
        Breakage{"an op placed alone", "an Op lands as a member of a Stage",
                 [](Passes& p) {
                   const EngineId op = first_with_inputs(p.eliminated.graph);
                   p.fused.placement[op].member.reset();
                 }},
        Breakage{"a boundary placed in a stage", "a boundary lands alone",
                 [](Passes& p) { p.fused.placement[0].member = 0; }},
        Breakage{"a reduced output missing", "outputs match one to one",
                 [](Passes& p) { p.fused.outputs.pop_back(); }}),
    by_name);

TEST(PassInvariants, EliminationLeavesNoEqualNodes) {
  // Two sources over one token are equal nodes; over two tokens they are not.
  for (const bool same_token : {false, true}) {
    EngineGraph g;
    g.tokens = {"src|a", "src|b"};
    g.add_node(0, {}, true);
    g.add_node(same_token ? 0 : 1, {}, true);
    g.outputs = {0, 1};
    const Eliminated left{g, {0, 1}};
    if (same_token) {
      EXPECT_THROW(verify(left, g), InternalFailure);
    } else {
      EXPECT_NO_THROW(verify(left, g));
    }
  }
}

// An engine whose outputs do not follow its classes: nothing downstream
// would notice, so only the check after canonicalization can.
class SwappingEngine : public RewriteEngine {
 public:
  Canonicalized canonicalize(const EngineGraph& graph) const override {
    Canonicalized out = SaturationEngine().canonicalize(graph);
    std::swap(out.graph.outputs.front(), out.graph.outputs.back());
    return out;
  }
};

TEST(PassInvariants, ThePipelineChecksAfterEveryPass) {
#if defined(NDEBUG) && !defined(ZEMBRIK_VERIFY_PASSES)
  GTEST_SKIP() << "this build does not check after every pass";
#endif
  const Passes p;
  const std::vector<NodeId> outputs = {7, 3};
  EXPECT_NO_THROW(reduce_with_mode(p.nodes, outputs, SaturationEngine(), false));
  EXPECT_THROW(reduce_with_mode(p.nodes, outputs, SwappingEngine(), false), InternalFailure);
}

}  // namespace
}  // namespace zembrik
