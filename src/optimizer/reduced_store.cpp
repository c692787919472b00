#include "optimizer/reduced_store.hpp"

#include "base/failure.hpp"
#include "optimizer/pipeline.hpp"

namespace zembrik {
namespace {

// Interns every reduced node with its inputs renumbered through `ids`, the id
// each earlier node received. Equal keys share an id.
std::vector<NodeId> intern_all(GraphStore& store, const NodeArena& nodes) {
  std::vector<NodeId> ids;
  ids.reserve(nodes.size());
  for (NodeId i = 0; i < nodes.size(); ++i) {
    const NodeKey key = nodes.key(i);
    NodeIds inputs;
    for (NodeId x : inputs_of(key)) inputs.push_back(ids.at(x));
    Result<NodeId, BadNodeId> id = store.intern(with_inputs(key, std::move(inputs)));
    if (!id) throw InternalFailure("reduced graph references only earlier nodes");
    ids.push_back(id.value());
  }
  return ids;
}

}  // namespace

ReducedStore from_reduced(Reduced reduced) {
  std::vector<NodeId> ids;
  // Reductions emit pairwise different keys, so the nodes usually go in as
  // they are, with ids equal to their positions.
  std::optional<GraphStore> distinct = GraphStore::from_distinct_records(reduced.nodes);
  GraphStore store = distinct ? std::move(*distinct) : GraphStore();
  if (distinct) {
    ids.resize(reduced.nodes.size());
    for (NodeId i = 0; i < ids.size(); ++i) ids[i] = i;
  } else {
    ids = intern_all(store, reduced.nodes);
  }
  for (NodeId o : reduced.outputs) {
    if (o >= ids.size() || store.mark_output(ids[o])) {
      throw InternalFailure("reduced output is valid");
    }
  }
  for (std::optional<Landing>& landing : reduced.node_map) {
    if (landing) landing->node = ids.at(landing->node);
  }
  store.set_node_map(std::move(reduced.node_map));
  return ReducedStore{std::move(store), reduced.report};
}

ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine,
                         bool maximal_fusion) {
  const StoreSnapshot snapshot = store.snapshot();
  return from_reduced(reduce_with_mode(snapshot.arena, snapshot.outputs, engine, maximal_fusion));
}

Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                    std::span<const NodeId> outputs,
                                                    const RewriteEngine& engine,
                                                    bool maximal_fusion) {
  Result<NodeArena, BadNodeId> arena = store.arena_holding(outputs);
  if (!arena) return arena.error();
  return from_reduced(reduce_with_mode(arena.value(), outputs, engine, maximal_fusion));
}

Result<GraphStore, BadNodeId> cone(const GraphStore& store, std::span<const NodeId> outputs) {
  Result<NodeArena, BadNodeId> arena = store.arena_holding(outputs);
  if (!arena) return arena.error();
  DeadCodeEliminated kept = dead_code_elimination(arena.value(), outputs);
  Reduced reduced;
  reduced.node_map.resize(kept.remap.size());
  for (NodeId i = 0; i < kept.remap.size(); ++i) {
    if (kept.remap[i] != kNoId) reduced.node_map[i] = Landing{kept.remap[i], std::nullopt};
  }
  reduced.nodes = std::move(kept.nodes);
  reduced.outputs = std::move(kept.outputs);
  return from_reduced(std::move(reduced)).store;
}

}  // namespace zembrik
