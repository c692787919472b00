#include "optimizer/pipeline.hpp"

#include <deque>
#include <optional>
#include <string>

#include "base/failure.hpp"
#include "base/flat_map.hpp"
#include "base/hash.hpp"
#include "base/interrupt.hpp"
#include "base/result.hpp"
#include "ir/record.hpp"
#include "ir/token.hpp"
#include "optimizer/direct_engine.hpp"
#include "optimizer/engine_index.hpp"
#include "optimizer/pass_invariants.hpp"
#include "optimizer/stage_fusion.hpp"

namespace zembrik {
namespace {

// Debug builds, and the test suites', check every pass's promises; elsewhere
// the checks compile away.
#if !defined(NDEBUG) || defined(ZEMBRIK_VERIFY_PASSES)
constexpr bool kVerifyPasses = true;
#else
constexpr bool kVerifyPasses = false;
#endif

template <class... Args>
void verify_pass(const Args&... args) {
  if constexpr (kVerifyPasses) verify(args...);
}

// A graph taken as canonical must be one the rules leave as it is.
void verify_canonical_pass(const EngineGraph& graph) {
  if constexpr (kVerifyPasses) {
    const Canonicalized again = DirectEngine().canonicalize(graph);
    if (again.graph.size() != graph.size()) fail("canonical form is canonical");
  }
}

// An engine that promises a hash-consed graph leaves elimination nothing.
void verify_hash_consed_pass(const EngineGraph& graph) {
  if constexpr (kVerifyPasses) {
    if (cse(graph).graph.size() != graph.size()) fail("engine graph is hash-consed");
  }
}

// The passes read records straight from the arena instead of decoding whole
// keys. A key apart from its inputs is the head and tail of its record, which
// are canonical once NaN payloads are.
struct Identity {
  std::string_view head;
  std::string_view tail;
  friend bool operator==(const Identity&, const Identity&) = default;
};
// Keyed hashes throughout: names and parameters come from users.
struct IdentityHash {
  std::size_t operator()(const Identity& id) const {
    // Only a Stage has a tail.
    const std::uint64_t head = keyed_hash(id.head);
    return id.tail.empty() ? head : head ^ keyed_hash(id.tail, seeded_key(1));
  }
};

// The engine is replaceable, so its one promise the later passes index by is
// checked in every build.
Canonicalized canonicalize(const RewriteEngine& engine, const EngineGraph& graph) {
  Canonicalized canonical = engine.canonicalize(graph);
  if (canonical.class_map.size() != graph.size()) fail("engine maps every node");
  return canonical;
}

// Fusion emits a boundary node as the kept node its token stands for, over
// the reduced inputs.
BoundaryEmitter rebuild_boundaries(const NodeArena& nodes, const EngineInput& input,
                                   const EngineGraph& graph) {
  return [&nodes, &input, &graph, ignored = NodeIds()](EngineId id, std::span<const NodeId> inputs,
                                                       std::string& out) mutable {
    const NodeId source = input.boundary_source.at(graph.nodes[id].token);
    if (source == kNoId) fail("boundary token has a key");
    RecordView::read(nodes.record(source), ignored).append_with_inputs(inputs, out);
    return nodes.has_nan(source);
  };
}

// Where each input node landed: through its kept position, its class and
// the node elimination kept for the class (`to_fused`), and that node's place
// in the fusion.
template <class ToFused>
NodeMap compose_node_map(const LiveNodes& live, const FusedGraph& fused, ToFused&& to_fused) {
  NodeMap node_map(live.remap.size());
  for (NodeId i = 0; i < live.remap.size(); ++i) {
    if (live.remap[i] == kNoId) continue;
    node_map[i] = fused.placement[to_fused(live.remap[i])];
  }
  return node_map;
}

ReductionReport report_of(const LiveNodes& live, const EngineGraph& canonical,
                          const FusedGraph& fused) {
  return ReductionReport{
      .input_nodes = live.remap.size(),
      .reachable_nodes = live.kept.size(),
      .canonical_nodes = canonical.size(),
      .stages = fused.stages,
      .reduced_nodes = fused.nodes.size(),
      .boundary_nodes = fused.boundary_nodes,
  };
}

}  // namespace

LiveNodes find_live_nodes(const NodeArena& nodes, std::span<const NodeId> outputs) {
  const std::size_t n = nodes.size();
  std::vector<bool> marked(n);
  NodeIds stack(outputs.begin(), outputs.end());
  InterruptPoints points;
  while (!stack.empty()) {
    points.tick();
    const NodeId id = stack.back();
    stack.pop_back();
    if (id >= n) fail("output or input within the graph");
    if (marked[id]) continue;
    marked[id] = true;
    append_inputs(nodes.record(id), stack);
  }
  LiveNodes live;
  live.remap.assign(n, kNoId);
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
  std::size_t bytes = 0;
  for (NodeId original : live.kept) bytes += nodes.record(original).size();
  out.nodes.reserve(live.kept.size(), bytes);
  NodeIds inputs;
  std::string renumbered;
  InterruptPoints points;
  for (NodeId original : live.kept) {
    points.tick();
    const RecordView view = RecordView::read(nodes.record(original), inputs);
    for (NodeId& x : inputs) x = out.remap[x];
    renumbered.clear();
    view.append_with_inputs(inputs, renumbered);
    out.nodes.commit(out.nodes.stage_record(renumbered, nodes.has_nan(original)));
  }
  return out;
}

// A key is decoded only the first time its identity comes up.
EngineInput to_engine_graph(const NodeArena& nodes, const LiveNodes& live) {
  EngineInput in;
  FlatMap<Identity, std::uint32_t, IdentityHash> by_identity;
  FlatMap<std::string, std::uint32_t, KeyedTextHash> token_ids;
  // Canonical copies of records holding NaNs; a deque keeps them in place
  // while `by_identity` views them.
  std::deque<std::string> canonical_records;
  std::uint64_t boundary_keys = 0;
  const auto token_of_new_identity = [&](NodeId original, bool boundary) {
    const NodeKey key = nodes.key(original);
    std::string symbol = boundary
                             ? std::string(kind_word(key)) + "#" + std::to_string(boundary_keys++)
                             : zembrik::token(key);
    const auto [index, fresh] =
        token_ids.try_emplace(symbol, static_cast<std::uint32_t>(in.graph.tokens.size()));
    if (fresh) {
      in.graph.tokens.push_back(std::move(symbol));
      in.boundary_source.push_back(boundary ? original : kNoId);
    }
    return *index;
  };
  in.graph.nodes.reserve(live.kept.size());
  NodeIds operands;
  InterruptPoints points;
  for (NodeId original : live.kept) {
    points.tick();
    std::string_view bytes = nodes.record(original);
    if (nodes.has_nan(original)) bytes = canonical_records.emplace_back(record::canonical(bytes));
    const RecordView view = RecordView::read(bytes, operands);
    for (NodeId& x : operands) x = live.remap[x];
    const bool boundary = view.tag != NodeTag::Op;
    // Only token_ids grows below, so `token` stays valid.
    const auto [token, fresh] = by_identity.try_emplace(Identity{view.head, view.tail}, 0);
    if (fresh) *token = token_of_new_identity(original, boundary);
    in.graph.add_node(*token, operands, boundary);
  }
  in.graph.outputs = live.outputs;
  return in;
}

Eliminated cse(const EngineGraph& graph) {
  Eliminated out;
  out.graph.tokens = graph.tokens;
  out.cse_map.resize(graph.size());
  EngineIndex index;
  std::vector<EngineId> mapped;
  InterruptPoints points;
  for (EngineId i = 0; i < graph.size(); ++i) {
    points.tick();
    mapped.clear();
    for (EngineId x : graph.inputs_of(i)) mapped.push_back(out.cse_map[x]);
    out.cse_map[i] =
        index.find_or_add(out.graph, graph.nodes[i].token, mapped, graph.nodes[i].boundary);
  }
  for (EngineId o : graph.outputs) out.graph.outputs.push_back(out.cse_map[o]);
  return out;
}

namespace {

// The passes over `nodes`. Without an engine the kept graph is taken as
// canonical already, as the incremental reducer's form is: it is neither
// canonicalized nor searched for equal nodes again. Elimination also runs
// only when the engine does not promise it would find nothing.
Reduced reduce_through(const NodeArena& nodes, std::span<const NodeId> outputs,
                       const RewriteEngine* engine, bool maximal_fusion) {
  const LiveNodes live = find_live_nodes(nodes, outputs);
  verify_pass(live, nodes.size());
  const EngineInput input = to_engine_graph(nodes, live);
  verify_pass(input);
  std::optional<Canonicalized> canonical;
  std::optional<Eliminated> eliminated;
  if (engine != nullptr) {
    canonical = canonicalize(*engine, input.graph);
    verify_pass(*canonical, input.graph);
    if (!canonical->hash_consed) {
      eliminated = cse(canonical->graph);
      verify_pass(*eliminated, canonical->graph);
    } else {
      verify_hash_consed_pass(canonical->graph);
    }
  } else {
    verify_canonical_pass(input.graph);
  }
  const EngineGraph& reducible =
      eliminated ? eliminated->graph : (canonical ? canonical->graph : input.graph);
  FusedGraph fused =
      fuse_stages(reducible, maximal_fusion, rebuild_boundaries(nodes, input, reducible));
  verify_pass(fused, reducible);

  Reduced reduced;
  reduced.node_map = compose_node_map(live, fused, [&](EngineId kept) {
    const EngineId canonical_id = canonical ? canonical->class_map[kept] : kept;
    return eliminated ? eliminated->cse_map[canonical_id] : canonical_id;
  });
  reduced.report = report_of(live, reducible, fused);
  reduced.nodes = std::move(fused.nodes);
  reduced.outputs = std::move(fused.outputs);
  return reduced;
}

}  // namespace

Reduced reduce_with_mode(const NodeArena& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  return reduce_through(nodes, outputs, &engine, maximal_fusion);
}

Reduced reduce_canonical_form(const NodeArena& nodes, std::span<const NodeId> outputs,
                              bool maximal_fusion) {
  return reduce_through(nodes, outputs, nullptr, maximal_fusion);
}

}  // namespace zembrik
