// The store operations that connect a store to the optimizer: reductions and
// cones of a store become new stores, whose node map says where every node
// of the source arena landed. The source store is only read.
#pragma once

#include <span>
#include <utility>

#include "base/result.hpp"
#include "optimizer/engine_graph.hpp"
#include "optimizer/reduced.hpp"
#include "store/graph_store.hpp"

namespace zembrik {

struct ReducedStore {
  GraphStore store;
  ReductionReport report;
};

// A new store holding the reduced nodes, marked with the reduced outputs,
// with the node map translated to its ids.
ReducedStore from_reduced(Reduced reduced);

// Reduced against the store's output marks.
ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion);
// Reduced against exactly `outputs`, the marks ignored.
Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                    std::span<const NodeId> outputs,
                                                    const RewriteEngine& engine,
                                                    bool maximal_fusion);
// The 1:1 sub-graph `outputs` need: dead-code elimination alone.
Result<GraphStore, BadNodeId> cone(const GraphStore& store, std::span<const NodeId> outputs);

}  // namespace zembrik
