// Reductions and cones as new graphs, whose node map says where every node
// of the source arena landed. They read a copy of a graph's arena and never
// change it; the caller takes that copy however its graph is shared.
#pragma once

#include <span>

#include "base/result.hpp"
#include "optimizer/engine_graph.hpp"
#include "optimizer/reduced.hpp"
#include "store/graph.hpp"

namespace zembrik {

struct ReducedGraph {
  Graph graph;
  ReductionReport report;
};

// A new graph holding the reduced nodes, marked with the reduced outputs,
// with the node map translated to its ids.
ReducedGraph from_reduced(Reduced reduced);

// Reduced against the snapshot's marks.
ReducedGraph reduce_with(const StoreSnapshot& snapshot, const RewriteEngine& engine,
                         bool maximal_fusion);
// Reduced against exactly `outputs`; BadNodeId for the first that is not in
// `nodes`.
Result<ReducedGraph, BadNodeId> reduce_with_outputs(const NodeArena& nodes,
                                                    std::span<const NodeId> outputs,
                                                    const RewriteEngine& engine,
                                                    bool maximal_fusion);
// The 1:1 sub-graph `outputs` need: dead-code elimination alone.
Result<Graph, BadNodeId> cone(const NodeArena& nodes, std::span<const NodeId> outputs);

}  // namespace zembrik
