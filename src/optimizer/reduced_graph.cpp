#include "optimizer/reduced_graph.hpp"

#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "optimizer/pipeline.hpp"

namespace zembrik {
namespace {

// Interns every reduced node with its inputs renumbered through `ids`, the id
// each earlier node received. Equal keys share an id.
std::vector<NodeId> intern_all(Graph& graph, const NodeArena& nodes) {
  std::vector<NodeId> ids;
  ids.reserve(nodes.size());
  InterruptPoints points;
  for (NodeId i = 0; i < nodes.size(); ++i) {
    points.tick();
    const NodeKey key = nodes.key(i);
    NodeIds inputs;
    for (NodeId x : inputs_of(key)) inputs.push_back(ids.at(x));
    Result<NodeId, BadNodeId> id = graph.intern(with_inputs(key, std::move(inputs)));
    if (!id) fail("reduced graph references only earlier nodes");
    ids.push_back(id.value());
  }
  return ids;
}

}  // namespace

ReducedGraph from_reduced(Reduced reduced) {
  std::vector<NodeId> ids;
  // Reductions emit pairwise different keys, so the nodes usually go in as
  // they are, with ids equal to their positions.
  std::optional<Graph> distinct = Graph::from_distinct_records(reduced.nodes);
  Graph graph = distinct ? std::move(*distinct) : Graph();
  if (distinct) {
    ids.resize(reduced.nodes.size());
    for (NodeId i = 0; i < ids.size(); ++i) ids[i] = i;
  } else {
    ids = intern_all(graph, reduced.nodes);
  }
  for (NodeId o : reduced.outputs) {
    if (o >= ids.size() || !graph.mark_output(ids[o])) {
      fail("reduced output is valid");
    }
  }
  for (std::optional<Landing>& landing : reduced.node_map) {
    if (landing) landing->node = ids.at(landing->node);
  }
  graph.set_node_map(std::move(reduced.node_map));
  return ReducedGraph{std::move(graph), reduced.report};
}

ReducedGraph reduce_with(const StoreSnapshot& snapshot, const RewriteEngine& engine,
                         bool maximal_fusion) {
  return from_reduced(reduce_with_mode(snapshot.arena, snapshot.outputs, engine, maximal_fusion));
}

Result<ReducedGraph, BadNodeId> reduce_with_outputs(const NodeArena& nodes,
                                                    std::span<const NodeId> outputs,
                                                    const RewriteEngine& engine,
                                                    bool maximal_fusion) {
  if (const Result<void, BadNodeId> checked = check_ids(outputs, nodes.size()); !checked) {
    return checked.error();
  }
  return from_reduced(reduce_with_mode(nodes, outputs, engine, maximal_fusion));
}

Result<Graph, BadNodeId> cone(const NodeArena& nodes, std::span<const NodeId> outputs) {
  if (const Result<void, BadNodeId> checked = check_ids(outputs, nodes.size()); !checked) {
    return checked.error();
  }
  DeadCodeEliminated kept = dead_code_elimination(nodes, outputs);
  Reduced reduced;
  reduced.node_map.resize(kept.remap.size());
  for (NodeId i = 0; i < kept.remap.size(); ++i) {
    if (kept.remap[i] != kNoId) reduced.node_map[i] = Landing{kept.remap[i], std::nullopt};
  }
  reduced.nodes = std::move(kept.nodes);
  reduced.outputs = std::move(kept.outputs);
  return from_reduced(std::move(reduced)).graph;
}

}  // namespace zembrik
