// Stage fusion, the last pass of the pipeline: groups runs of Op nodes into
// Stage nodes and emits every other node alone, as a boundary node.
//
// Input: a topologically ordered EngineGraph with outputs, free of equal
// (token, inputs) pairs. Output: the reduced nodes in topological order (the
// stages sorted by their largest member), the outputs, and where every
// engine node landed.
//
// No two reduced nodes are equal keys. An input Stage is a boundary, so the
// Stage that fusion builds from equal Ops over equal inputs (a reduced store
// extended and reduced again) comes out as a second copy of it; such a node,
// and any built over it that becomes equal in turn, resolves to the node
// emitted first.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "arena/node_arena.hpp"
#include "arena/node_map.hpp"
#include "optimizer/engine_graph.hpp"

namespace zembrik {

struct FusedGraph {
  NodeArena nodes;
  std::vector<NodeId> outputs;
  std::vector<Landing> placement;  // per engine node
  // What `nodes` holds, so the two add up to its size.
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};

// Appends to `out` the record of the key that boundary node `id` is rebuilt
// from, with `inputs` as its inputs; returns whether it holds a NaN.
using BoundaryEmitter =
    std::function<bool(EngineId id, std::span<const NodeId> inputs, std::string& out)>;

// `maximal_fusion` picks the maximal rule over the single-use rule.
FusedGraph fuse_stages(const EngineGraph& graph, bool maximal_fusion,
                       const BoundaryEmitter& emit_boundary);

}  // namespace zembrik
