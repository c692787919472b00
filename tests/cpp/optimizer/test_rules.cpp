// The one rule set: the engine's patterns, the incremental predicates and a
// reducer step agree on every token.
#include <gtest/gtest.h>

#include <cmath>

#include "ir/token.hpp"
#include "optimizer/incremental_reducer.hpp"
#include "optimizer/rules.hpp"
#include "optimizer/saturation_engine.hpp"

namespace zembrik {
namespace {

// What the engine does with an Op's token, run on the smallest graph that
// shows it: sources, the op, the op with its first two operands swapped, and
// a user of the op.
struct EngineVerdict {
  bool identity;  // the op merged into its first operand
  bool commutes;  // the op merged with its swapped twin
};

EngineVerdict engine_verdict(const Op& op) {
  EngineGraph g;
  g.tokens = {"src|a", "src|b", token(NodeKey(op)), "op|neg"};
  const std::vector<EngineId> operands = {0, 1, 0, 1};
  const std::span<const EngineId> ins(operands.data(), op.inputs.size());
  g.add_node(0, {}, true);
  g.add_node(1, {}, true);
  const EngineId plain = g.add_node(2, ins, false);
  std::vector<EngineId> swapped(ins.begin(), ins.end());
  if (swapped.size() >= 2) std::swap(swapped[0], swapped[1]);
  const EngineId twin = g.add_node(2, swapped, false);
  const EngineId user = g.add_node(3, std::vector<EngineId>{plain}, false);
  g.outputs = {user, twin};
  const Canonicalized c = SaturationEngine().canonicalize(g);
  return {!op.inputs.empty() && c.class_map[plain] == c.class_map[0],
          op.inputs.size() >= 2 && c.class_map[plain] == c.class_map[twin]};
}

// What a reducer step does with the same op over the same operands.
EngineVerdict reducer_verdict(Op op) {
  NodeArena delta;
  delta.commit(delta.stage(NodeKey(Source{"a", {}})));
  delta.commit(delta.stage(NodeKey(Source{"b", {}})));
  delta.commit(delta.stage(NodeKey(op)));
  if (op.inputs.size() >= 2) std::swap(op.inputs[0], op.inputs[1]);
  delta.commit(delta.stage(NodeKey(op)));
  IncrementalReducer reducer;
  EXPECT_TRUE(reducer.step(delta).ok());
  // The two sources stay; an identity folds into the first, and a twin
  // that differs from the op only by the swap folds into the op.
  const std::uint64_t count = reducer.canonical_count();
  return {count == 2, op.inputs.size() >= 2 && count == 3};
}

ParamMap map_of(std::vector<ParamEntry> entries) {
  return ParamMap::from_entries(std::move(entries));
}

std::vector<Op> token_grid() {
  std::vector<std::string> names(kCommutativeOps.begin(), kCommutativeOps.end());
  names.insert(names.end(), {"sub", "Add", "neg", "addition"});
  std::vector<ParamMap> params = {
      {},
      map_of({{"k", ParamValue::Int(1)}}),
      map_of({{"scalar", ParamValue::Float(0.0)}}),
      map_of({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("rl")}}),
      map_of({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("x")}}),
      map_of({{"scalar", ParamValue::Float(-0.0)}, {"side", ParamValue::Str("r")}}),
      map_of({{"scalar", ParamValue::Float(std::nan(""))}, {"side", ParamValue::Str("r")}}),
      map_of({{"scalar", ParamValue::Int(0)}, {"side", ParamValue::Str("r")}}),
      map_of({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Int(1)}}),
      map_of({{"scalar", ParamValue::Float(0.0)},
              {"side", ParamValue::Str("l")},
              {"t", ParamValue::Int(0)}}),
      map_of({{"scalar", ParamValue::Float(0.0)}, {"scalar", ParamValue::Float(0.0)}}),
      map_of({{"Scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("l")}}),
  };
  // Every rule's parameters, which the other rules' names must not take.
  for (const IdentityRule& rule : kIdentityRules) {
    for (std::string_view side : rule.sides) {
      params.push_back(map_of({{"scalar", ParamValue::Float(rule.unit)},
                               {"side", ParamValue::Str(std::string(side))}}));
    }
  }
  const std::vector<NodeIds> arities = {{}, {0}, {0, 1}, {0, 1, 0}};
  std::vector<Op> grid;
  for (const std::string& name : names) {
    for (const ParamMap& p : params) {
      for (const NodeIds& inputs : arities) grid.push_back(Op{name, p, inputs});
    }
  }
  return grid;
}

TEST(Rules, EngineAndPredicatesAgreeOnEveryToken) {
  std::size_t identities = 0;
  std::size_t commutations = 0;
  for (const Op& op : token_grid()) {
    const std::string text = token(NodeKey(op)) + " over " + std::to_string(op.inputs.size());
    const EngineVerdict engine = engine_verdict(op);
    EXPECT_EQ(rule_of(op) == Rule::identity, engine.identity) << text;
    EXPECT_EQ(rule_of(op) == Rule::commutative, engine.commutes) << text;
    EXPECT_EQ(rule_for(rule_asked_by_token(token(NodeKey(op))), op.inputs.size()), rule_of(op))
        << text;
    const EngineVerdict reducer = reducer_verdict(op);
    EXPECT_EQ(reducer.identity, engine.identity) << text;
    EXPECT_EQ(reducer.commutes, engine.commutes) << text;
    identities += engine.identity;
    commutations += engine.commutes;
  }
  // Each rule fires somewhere in the grid, so every generated identity
  // token is one the engine matches: once per identity token, once per
  // commutative name.
  EXPECT_EQ(identities, identity_tokens().size());
  EXPECT_EQ(commutations, kCommutativeOps.size());
}

}  // namespace
}  // namespace zembrik
