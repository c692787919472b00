#include "optimizer/pipeline.hpp"

#include <string>
#include <unordered_map>

#include "ir/hash.hpp"
#include "ir/key_record.hpp"
#include "ir/result.hpp"
#include "ir/token.hpp"
#include "optimizer/stage_fusion.hpp"
#include "store/intern_index.hpp"

namespace zembrik {
namespace {

// The kept nodes as an EngineGraph, plus the key each boundary token stands
// for.
//
// Tokens do not always carry a whole key: every Stage with the same member
// count shares one, and External tokens write descriptor strings unescaped.
// So a boundary node gets a symbol of its own per distinct key without
// inputs, and is rebuilt from the first kept node bearing that key; Op tokens
// carry their whole key and stay, since the rules match them.
struct EngineInput {
  EngineGraph graph;
  // Per boundary symbol, the first kept node (by input id) bearing its key.
  std::unordered_map<std::string, NodeId> boundary_source;
};

EngineInput to_engine_graph(const NodeArena& nodes, const LiveNodes& live) {
  EngineInput in;
  std::unordered_map<std::string, std::uint32_t> token_ids;
  std::unordered_map<std::string, std::uint32_t> boundary_ids;  // by canonical record
  const auto token_id = [&](std::string token) {
    const auto [it, fresh] =
        token_ids.try_emplace(std::move(token), static_cast<std::uint32_t>(in.graph.tokens.size()));
    if (fresh) in.graph.tokens.push_back(it->first);
    return it->second;
  };
  NodeIds operands;
  for (NodeId original : live.kept) {
    const NodeKey key = nodes.key(original);
    operands.clear();
    for (NodeId x : inputs_of(key)) operands.push_back(live.remap[x]);
    const bool boundary = !std::holds_alternative<Op>(key);
    std::uint32_t token;
    if (boundary) {
      std::string bare;
      record::encode(with_inputs(key, {}), bare, record::Nans::Canonicalize);
      const auto [it, fresh] = boundary_ids.try_emplace(
          std::move(bare), static_cast<std::uint32_t>(boundary_ids.size()));
      std::string symbol = std::string(kind_word(key)) + "#" + std::to_string(it->second);
      if (fresh) in.boundary_source.emplace(symbol, original);
      token = token_id(std::move(symbol));
    } else {
      token = token_id(zembrik::token(key));
    }
    in.graph.add_node(token, operands, boundary);
  }
  in.graph.outputs = live.outputs;
  return in;
}

struct Eliminated {
  EngineGraph graph;
  std::vector<EngineId> cse_map;
};

// Merges nodes with equal tokens over equal (mapped) inputs; the first of
// each wins and new ids follow first appearance.
Eliminated cse(const EngineGraph& graph) {
  Eliminated out;
  out.graph.tokens = graph.tokens;
  out.cse_map.resize(graph.size());
  InternIndex index;
  const auto hash_of = [&](std::uint32_t token, std::span<const EngineId> inputs) {
    std::uint64_t h = mix64(token);
    for (EngineId x : inputs) h = mix64(h ^ x);
    return mix64(h ^ inputs.size());
  };
  std::vector<EngineId> mapped;
  for (EngineId i = 0; i < graph.size(); ++i) {
    mapped.clear();
    for (EngineId x : graph.inputs_of(i)) mapped.push_back(out.cse_map[x]);
    const std::uint32_t token = graph.nodes[i].token;
    const std::uint64_t hash = hash_of(token, mapped);
    const auto equal = [&](NodeId id) {
      const auto other = out.graph.inputs_of(id);
      return out.graph.nodes[id].token == token &&
             std::equal(other.begin(), other.end(), mapped.begin(), mapped.end());
    };
    if (const std::optional<NodeId> found = index.find(hash, equal)) {
      out.cse_map[i] = *found;
      continue;
    }
    const EngineId id = out.graph.add_node(token, mapped, graph.nodes[i].boundary);
    index.insert(hash, id, [&](NodeId at) {
      return hash_of(out.graph.nodes[at].token, out.graph.inputs_of(at));
    });
    out.cse_map[i] = id;
  }
  for (EngineId o : graph.outputs) out.graph.outputs.push_back(out.cse_map[o]);
  return out;
}

}  // namespace

LiveNodes find_live_nodes(const NodeArena& nodes, std::span<const NodeId> outputs) {
  const std::size_t n = nodes.size();
  std::vector<bool> marked(n);
  std::vector<NodeId> stack(outputs.begin(), outputs.end());
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    if (id >= n) throw InternalFailure("output or input within the graph");
    if (marked[id]) continue;
    marked[id] = true;
    const NodeKey key = nodes.key(id);
    for (NodeId x : inputs_of(key)) stack.push_back(x);
  }
  LiveNodes live;
  live.remap.assign(n, kDropped);
  for (NodeId i = 0; i < n; ++i) {
    if (!marked[i]) continue;
    live.remap[i] = live.kept.size();
    live.kept.push_back(i);
  }
  live.outputs.reserve(outputs.size());
  for (NodeId o : outputs) live.outputs.push_back(live.remap[o]);
  return live;
}

DeadCodeEliminated dead_code_elimination(const NodeArena& nodes, std::span<const NodeId> outputs) {
  LiveNodes live = find_live_nodes(nodes, outputs);
  DeadCodeEliminated out{NodeArena(), std::move(live.outputs), std::move(live.remap)};
  for (NodeId original : live.kept) {
    const NodeKey key = nodes.key(original);
    NodeIds inputs;
    for (NodeId x : inputs_of(key)) inputs.push_back(out.remap[x]);
    out.nodes.commit(out.nodes.stage(with_inputs(key, std::move(inputs))));
  }
  return out;
}

Reduced reduce_with_mode(const NodeArena& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  const LiveNodes live = find_live_nodes(nodes, outputs);
  const EngineInput input = to_engine_graph(nodes, live);
  const Canonicalized canonical = engine.canonicalize(input.graph);
  if (canonical.class_map.size() != input.graph.size()) {
    throw InternalFailure("engine maps every node");
  }
  const Eliminated eliminated = cse(canonical.graph);
  FusedGraph fused = fuse_stages(eliminated.graph, maximal_fusion, [&](EngineId id) {
    const auto source = input.boundary_source.find(eliminated.graph.token_of(id));
    if (source == input.boundary_source.end()) throw InternalFailure("boundary token has a key");
    return nodes.key(source->second);
  });

  Reduced reduced;
  reduced.node_map.resize(nodes.size());
  for (NodeId i = 0; i < nodes.size(); ++i) {
    if (live.remap[i] == kDropped) continue;
    reduced.node_map[i] = fused.placement[eliminated.cse_map[canonical.class_map[live.remap[i]]]];
  }
  reduced.report = ReductionReport{
      .input_nodes = nodes.size(),
      .reachable_nodes = live.kept.size(),
      .canonical_nodes = eliminated.graph.size(),
      .stages = fused.stages,
      .reduced_nodes = fused.nodes.size(),
      .boundary_nodes = fused.boundary_nodes,
  };
  reduced.nodes = std::move(fused.nodes);
  reduced.outputs = std::move(fused.outputs);
  return reduced;
}

}  // namespace zembrik
