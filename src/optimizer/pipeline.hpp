// The reduction pipeline: five passes that always run in this order.
//
//   1. find_live_nodes        dead-code elimination: keep what the outputs need
//   2. to_engine_graph        flatten the kept nodes into operator tokens
//   3. engine.canonicalize    one node per class of equal nodes
//   4. cse                    merge equal (token, inputs) the engine left,
//                             unless it promises there are none
//   5. fuse_stages            group Op runs into Stage nodes; every other
//                             node stays a boundary node of its own
//
// After each pass, Debug and test builds check what it promises the next
// (optimizer/pass_invariants.hpp). reduce_with_mode is a pure function of
// its arguments: with the direct engine nothing else, no clock, load or
// limit, reaches its result.
#pragma once

#include <span>
#include <vector>

#include "arena/node_arena.hpp"
#include "optimizer/engine_graph.hpp"
#include "optimizer/reduced.hpp"

namespace zembrik {

struct LiveNodes {
  std::vector<NodeId> kept;     // input ids of the kept nodes, ascending
  std::vector<NodeId> remap;    // per input id: position among the kept, or kNoId
  std::vector<NodeId> outputs;  // the outputs renumbered, order and repeats kept
};

// Marks what the outputs reach; `nodes` must be topologically ordered and
// every output below its size.
LiveNodes find_live_nodes(const NodeArena& nodes, std::span<const NodeId> outputs);

struct DeadCodeEliminated {
  NodeArena nodes;  // the kept nodes, inputs renumbered
  std::vector<NodeId> outputs;
  std::vector<NodeId> remap;
};

DeadCodeEliminated dead_code_elimination(const NodeArena& nodes, std::span<const NodeId> outputs);

// The kept nodes as an EngineGraph, plus the key each boundary token stands
// for.
//
// Tokens do not always carry a whole key: every Stage with the same member
// count shares one, and External tokens write descriptor strings unescaped.
// So a boundary node gets a symbol of its own per distinct key without
// inputs ("kind#k"), and is rebuilt from the first kept node bearing that
// key; Op tokens carry their whole key and stay, since the rules match them.
struct EngineInput {
  EngineGraph graph;
  // Per token: the first kept node (by input id) bearing a boundary symbol's
  // key, kNoId for an Op token.
  std::vector<NodeId> boundary_source;
};

EngineInput to_engine_graph(const NodeArena& nodes, const LiveNodes& live);

struct Eliminated {
  EngineGraph graph;
  std::vector<EngineId> cse_map;  // per node of the argument: its node here
};

// Merges nodes with equal tokens over equal (mapped) inputs; the first of
// each wins and new ids follow first appearance.
Eliminated cse(const EngineGraph& graph);

Reduced reduce_with_mode(const NodeArena& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion);

// The same for a graph that is canonical under the rules already (the
// incremental reducer's form): no engine runs, and no equal nodes are looked
// for, since there are none.
Reduced reduce_canonical_form(const NodeArena& nodes, std::span<const NodeId> outputs,
                              bool maximal_fusion);

}  // namespace zembrik
