// The direct engine against equality saturation run to its fixed point, on
// random graphs: both must give the same reduced blob, node map and report.
// The graphs are drawn to hit what the rules care about: identities and
// their look-alikes, both operand orders and repeated operands, chains of
// identities, boundary kinds whose tokens coincide, NaN parameters, Stage
// nodes of an earlier reduction, and stores rebuilt from their blobs.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <string>

#include "optimizer/direct_engine.hpp"
#include "optimizer/incremental_reducer.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/reduced_graph.hpp"
#include "optimizer/rules.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"
#include "test_names.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

class GraphDraw {
 public:
  explicit GraphDraw(std::uint64_t seed) : rng_(seed) {}

  // Interns `count` random nodes over what `store` holds.
  void grow(Graph& store, std::size_t count) {
    pairs_.clear();
    wrapped_.clear();
    for (std::size_t i = 0; i < count; ++i) {
      const NodeKey key = draw(store.node_count());
      const Result<NodeId, BadNodeId> id = store.intern(key);
      ASSERT_TRUE(id.ok());
      if (const Op* op = std::get_if<Op>(&key)) {
        if (op->inputs.size() == 2) pairs_.push_back(*op);
        if (rule_of(*op) == Rule::identity) wrapped_.emplace_back(op->inputs[0], id.value());
      }
    }
  }

  std::vector<NodeId> outputs(std::uint64_t nodes) {
    std::vector<NodeId> out;
    if (nodes == 0) return out;
    const std::size_t count = pick(4);  // none at all sometimes
    for (std::size_t i = 0; i < count; ++i)
      out.push_back(nodes - 1 - pick(std::min<NodeId>(nodes, 6)));
    return out;
  }

  std::size_t pick(std::size_t below) {
    return std::uniform_int_distribution<std::size_t>(0, below - 1)(rng_);
  }

 private:
  // Mostly recent nodes, so that chains form, sometimes any earlier one.
  NodeId operand(std::uint64_t nodes) {
    return pick(3) == 0 ? pick(nodes) : nodes - 1 - pick(std::min<NodeId>(nodes, 4));
  }

  NodeIds operands(std::uint64_t nodes, std::size_t count) {
    NodeIds ids;
    for (std::size_t i = 0; i < count; ++i) ids.push_back(operand(nodes));
    if (count == 2 && pick(6) == 0) ids[1] = ids[0];  // add(a, a)
    return ids;
  }

  ParamMap identity_like() {
    static const std::vector<ParamMap> params = {
        scalar(0.0, "r"),
        scalar(0.0, "l"),
        scalar(1.0, "r"),
        scalar(1.0, "l"),
        scalar(-0.0, "r"),
        scalar(0.0, "x"),
        scalar(1.0, "rl"),
        scalar(std::nan("1"), "r"),
        scalar(std::nan("2"), "r"),
        ParamMap::from_entries({{"scalar", ParamValue::Int(0)}, {"side", ParamValue::Str("r")}}),
        ParamMap::from_entries({{"scalar", ParamValue::Float(0.0)},
                                {"side", ParamValue::Str("r")},
                                {"t", ParamValue::Int(0)}}),
    };
    return params[pick(params.size())];
  }

  // The same operator as an earlier pair over its operands swapped, or over
  // an identity of one of them, so that the rules have something to merge.
  Op twin() {
    Op op = pairs_[pick(pairs_.size())];
    if (pick(3) != 0) std::swap(op.inputs[0], op.inputs[1]);
    for (NodeId& x : op.inputs) {
      for (const auto& [operand, identity] : wrapped_) {
        if (x == operand && pick(2) == 0) x = identity;
      }
    }
    return op;
  }

  NodeKey op(std::uint64_t nodes) {
    if (!pairs_.empty() && pick(4) == 0) return twin();
    static const std::vector<std::string> names = {"add",     "mul",     "and", "or",  "eq", "ne",
                                                   "maximum", "minimum", "sub", "map", "Add"};
    const std::string& name = names[pick(names.size())];
    switch (pick(6)) {
      case 0:
      case 1:  // two operands, no parameters: commutes when the name does
        return Op{name, {}, operands(nodes, 2)};
      case 2:  // the wrong operand count, or a parameter
        return pick(2) == 0 ? NodeKey(Op{name, {}, operands(nodes, pick(2) == 0 ? 1 : 3)})
                            : NodeKey(Op{name, one("k", ParamValue::Int(1)), operands(nodes, 2)});
      default: {  // an identity or a look-alike, mostly over one operand
        const std::size_t count = pick(8) == 0 ? pick(3) : 1;
        return Op{pick(2) == 0 ? "add" : "mul", identity_like(), operands(nodes, count)};
      }
    }
  }

  // Two descriptors whose tokens coincide although the keys differ.
  PayloadDescriptor descriptor() {
    if (pick(2) == 0) return {"m|x", "h", "", "1", "s", std::nullopt};
    return {"m", "x|h", "",
            "1", "s",   pick(2) == 0 ? std::optional<std::string>("-") : std::nullopt};
  }

  Stage stage(std::uint64_t nodes) {
    static const std::vector<std::string> tokens = {"op|neg", "op|add",
                                                    "op|add|scalar=f0000000000000000;side=sr"};
    Stage s{operands(nodes, 1 + pick(2)), {}};
    const std::size_t members = 1 + pick(2);
    for (std::size_t k = 0; k < members; ++k) {
      std::vector<StageRef> refs = {StageRef::Input(pick(s.inputs.size()))};
      if (k > 0 && pick(2) == 0) refs.push_back(StageRef::Member(pick(k)));
      s.members.push_back(StageOp{tokens[pick(tokens.size())], std::move(refs)});
    }
    return s;
  }

  NodeKey draw(std::uint64_t nodes) {
    if (nodes < 2 || pick(10) == 0) {
      return Source{pick(2) == 0 ? "a" : "b", one("part", ParamValue::Int(pick(3)))};
    }
    switch (pick(12)) {
      case 0:
        return Reduction{"sum", one("axis", ParamValue::Float(pick(2) ? std::nan("3") : 0.0)),
                         operands(nodes, 1)};
      case 1:
        return Exchange{one("scheme", ParamValue::Str("hash")), operands(nodes, 1)};
      case 2:
        return Join{{}, operands(nodes, 2)};
      case 3:
        return External{descriptor(), {}, operands(nodes, 1)};
      case 4:
        return stage(nodes);
      default:
        return op(nodes);
    }
  }

  std::mt19937_64 rng_;
  std::vector<Op> pairs_;                           // two-operand ops drawn so far
  std::vector<std::pair<NodeId, NodeId>> wrapped_;  // (operand, identity op over it)
};

// What a user of a reduced store sees of it.
struct Seen {
  std::string blob;
  NodeMap node_map;
  ReductionReport report;
  friend bool operator==(const Seen&, const Seen&) = default;
};

Seen seen(const ReducedGraph& reduced) {
  return {serialize_with(reduced.graph.arena(), reduced.graph.outputs()).value(),
          reduced.graph.node_map(), reduced.report};
}

Seen reduce_by(const Graph& store, std::span<const NodeId> outputs, const RewriteEngine& engine,
               bool maximal) {
  return seen(reduce_with_outputs(store.arena(), outputs, engine, maximal).value());
}

const SaturationEngine& saturating() {
  static const SaturationEngine engine(SaturationLimits::none());
  return engine;
}

// Limits far beyond what these graphs need, so the scheduler's bans run out.
const SaturationEngine& generously_limited() {
  static const SaturationEngine engine(SaturationLimits{100'000, std::chrono::hours(1)});
  return engine;
}

void expect_engines_agree(const Graph& store, std::span<const NodeId> outputs,
                          const std::string& what) {
  for (const bool maximal : {false, true}) {
    const Seen direct = reduce_by(store, outputs, DirectEngine(), maximal);
    EXPECT_EQ(direct, reduce_by(store, outputs, saturating(), maximal)) << what;
    EXPECT_EQ(direct, reduce_by(store, outputs, generously_limited(), maximal)) << what;
  }
}

class EnginesAgree : public testing::TestWithParam<std::uint64_t> {};

TEST_P(EnginesAgree, OnRecordedReducedAndReloadedStores) {
  GraphDraw draw(GetParam());
  Graph store;
  draw.grow(store, 20 + draw.pick(120));
  const std::vector<NodeId> outputs = draw.outputs(store.node_count());
  expect_engines_agree(store, outputs, "recorded");

  // A reduced store holds Stage nodes; more ops recorded over it mix them in.
  ReducedGraph reduced = reduce_with_outputs(store.arena(), outputs, DirectEngine(), false).value();
  draw.grow(reduced.graph, 30);
  expect_engines_agree(reduced.graph, draw.outputs(reduced.graph.node_count()), "reduced");

  const Graph reloaded = deserialize(serialize_with(store.arena(), outputs).value()).value();
  expect_engines_agree(reloaded, reloaded.outputs(), "reloaded");
}

// The incremental reducer folds with the same rules: its finalize, which
// does not canonicalize again, matches either engine run on its form.
TEST_P(EnginesAgree, WithTheIncrementalReducersForm) {
  GraphDraw draw(GetParam());
  Graph store;
  IncrementalReducer reducer;
  for (int batch = 0; batch < 4; ++batch) {
    draw.grow(store, 1 + draw.pick(40));
    ASSERT_TRUE(reducer.step(store.arena().slice_from(reducer.watermark())).ok());
  }
  const std::vector<NodeId> outputs = draw.outputs(store.node_count());
  std::vector<NodeId> canonical_outputs;
  for (NodeId o : outputs) canonical_outputs.push_back(reducer.id_map()[o]);
  for (const bool maximal : {false, true}) {
    Reduced finalized = reducer.finalize(outputs, maximal).value();
    // finalize indexes its node map by store ids; the engines' by canonical ids.
    NodeMap by_canonical_id(reducer.canonical_count());
    for (NodeId i = 0; i < reducer.watermark(); ++i) {
      by_canonical_id[reducer.id_map()[i]] = finalized.node_map[i];
    }
    finalized.node_map = std::move(by_canonical_id);
    const Seen incremental = seen(from_reduced(std::move(finalized)));
    for (const RewriteEngine* engine : {static_cast<const RewriteEngine*>(&saturating()),
                                        static_cast<const RewriteEngine*>(&generously_limited())}) {
      EXPECT_EQ(incremental, seen(from_reduced(reduce_with_mode(reducer.canon(), canonical_outputs,
                                                                *engine, maximal))));
    }
    EXPECT_EQ(incremental, seen(from_reduced(reduce_with_mode(reducer.canon(), canonical_outputs,
                                                              DirectEngine(), maximal))));
  }
}

INSTANTIATE_TEST_SUITE_P(RandomGraphs, EnginesAgree, testing::Range<std::uint64_t>(0, 150),
                         numbered("Seed"));

// Millions of nodes in which one commutative name dominates: each block of a
// lane adds x and a source in both orders, takes an identity of the twin,
// multiplies the sums two ways, and maps both products. Of each block's six nodes three
// are redundant by construction, and the second lane repeats the first with
// every pair swapped, so it is redundant whole.
TEST(DirectEngine, MillionsOfNodesReachTheFixedPoint) {
  constexpr std::size_t kSources = 1000;
  constexpr std::size_t kBlocks = 200'000;
  std::vector<NodeKey> keys;
  keys.reserve(kSources + 2 * 6 * kBlocks);
  for (std::size_t s = 0; s < kSources; ++s)
    keys.push_back(Source{"t", one("shard", ParamValue::Int(s))});
  const auto add = [&](NodeKey key) {
    keys.push_back(std::move(key));
    return NodeId{keys.size() - 1};
  };
  std::vector<NodeId> outputs;
  for (const bool swapped : {false, true}) {
    NodeId x = 0;
    for (std::size_t b = 0; b < kBlocks; ++b) {
      const NodeId s = b % kSources;
      const NodeId first = add(Op{"add", {}, swapped ? NodeIds{s, x} : NodeIds{x, s}});
      const NodeId second = add(Op{"add", {}, swapped ? NodeIds{x, s} : NodeIds{s, x}});
      const NodeId identity = add(Op{"add", scalar(0.0, "r"), {second}});
      const NodeId square = add(Op{"mul", {}, {first, identity}});
      const NodeId again = add(Op{"mul", {}, {identity, second}});
      x = add(Op{"map", one("k", ParamValue::Int(b)), {square, again}});
    }
    outputs.push_back(x);
  }
  const Reduced reduced = reduce_with_mode(arena_of(keys), outputs, DirectEngine(), false);
  EXPECT_EQ(reduced.report.reachable_nodes, keys.size());
  EXPECT_EQ(reduced.report.canonical_nodes, kSources + 3 * kBlocks);
  EXPECT_EQ(reduced.outputs[0], reduced.outputs[1]);
}

}  // namespace
}  // namespace zembrik
