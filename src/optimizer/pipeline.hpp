// The reduction pipeline: five passes that always run in this order.
//
//   1. dead_code_elimination  keep only what the outputs need
//   2. to_engine_graph        flatten the kept nodes into operator tokens
//   3. engine.canonicalize    one node per class of equal nodes
//   4. cse                    merge equal (token, inputs) the engine left
//   5. stage fusion           group Op runs into Stage nodes; every other
//                             node stays a boundary node of its own
//
// reduce_with_mode is a pure function of its arguments.
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

Reduced reduce_with_mode(const NodeArena& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion);

}  // namespace zembrik
