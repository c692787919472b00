#include "optimizer/pass_invariants.hpp"

#include <set>
#include <utility>
#include <vector>

#include "base/failure.hpp"
#include "base/result.hpp"
#include "ir/record.hpp"

namespace zembrik {
namespace {

void require(bool holds, const char* promise) {
  if (!holds) fail(std::string("after a reduction pass: ") + promise);
}

// `map` sends every node of a graph of `from_size` nodes into one of `size`
// nodes and reaches each of them.
void verify_class_map(const std::vector<EngineId>& map, std::size_t from_size, std::size_t size) {
  require(map.size() == from_size, "the class map has an entry per node");
  std::vector<bool> reached(size);
  for (EngineId c : map) {
    require(c < size, "the class map points into the graph");
    reached[c] = true;
  }
  for (std::size_t i = 0; i < size; ++i) require(reached[i], "every node represents a class");
}

void verify_outputs_follow(const EngineGraph& graph, const std::vector<EngineId>& map,
                           const EngineGraph& from) {
  require(graph.outputs.size() == from.outputs.size(), "outputs match one to one");
  for (std::size_t k = 0; k < from.outputs.size(); ++k) {
    require(graph.outputs[k] == map[from.outputs[k]], "an output is the class of the one before");
  }
}

}  // namespace

void verify(const LiveNodes& live, std::size_t input_nodes) {
  require(live.remap.size() == input_nodes, "remap has an entry per input node");
  for (std::size_t k = 0; k < live.kept.size(); ++k) {
    require(live.kept[k] < input_nodes, "kept nodes are input nodes");
    require(k == 0 || live.kept[k - 1] < live.kept[k], "kept nodes ascend");
    require(live.remap[live.kept[k]] == k, "remap gives a kept node its position");
  }
  std::size_t mapped = 0;
  for (NodeId r : live.remap) mapped += r != kNoId;
  require(mapped == live.kept.size(), "remap drops every node not kept");
  for (NodeId o : live.outputs) require(o < live.kept.size(), "outputs are kept");
}

void verify(const EngineGraph& graph) {
  std::uint64_t next_input = 0;
  for (EngineId i = 0; i < graph.size(); ++i) {
    const EngineNode& node = graph.nodes[i];
    require(node.token < graph.tokens.size(), "a node's token is in the table");
    require(node.first_input == next_input, "inputs sit back to back");
    next_input += node.input_count;
    require(next_input <= graph.inputs.size(), "inputs are in the input array");
    for (EngineId x : graph.inputs_of(i)) require(x < i, "the graph is topologically ordered");
    require(node.boundary != is_op_token(graph.token_of(i)), "boundary flags follow tokens");
  }
  require(next_input == graph.inputs.size(), "every input belongs to a node");
  for (EngineId o : graph.outputs) require(o < graph.size(), "outputs are nodes");
}

void verify(const EngineInput& input) {
  verify(input.graph);
  const EngineGraph& graph = input.graph;
  require(input.boundary_source.size() == graph.tokens.size(), "a source entry per token");
  for (std::size_t t = 0; t < graph.tokens.size(); ++t) {
    require((input.boundary_source[t] == kNoId) == is_op_token(graph.tokens[t]),
            "every boundary token has a key to rebuild it from");
  }
}

void verify(const Canonicalized& canonical, const EngineGraph& from) {
  verify(canonical.graph);
  verify_class_map(canonical.class_map, from.size(), canonical.graph.size());
  verify_outputs_follow(canonical.graph, canonical.class_map, from);
}

void verify(const Eliminated& eliminated, const EngineGraph& from) {
  const EngineGraph& graph = eliminated.graph;
  verify(graph);
  verify_class_map(eliminated.cse_map, from.size(), graph.size());
  verify_outputs_follow(graph, eliminated.cse_map, from);
  std::set<std::pair<std::uint32_t, std::vector<EngineId>>> seen;
  for (EngineId i = 0; i < graph.size(); ++i) {
    const auto inputs = graph.inputs_of(i);
    const bool fresh =
        seen.emplace(graph.nodes[i].token, std::vector<EngineId>(inputs.begin(), inputs.end()))
            .second;
    require(fresh, "no two nodes have equal tokens over equal inputs");
  }
}

void verify(const FusedGraph& fused, const EngineGraph& from) {
  const NodeArena& nodes = fused.nodes;
  require(fused.stages + fused.boundary_nodes == nodes.size(), "stages and boundaries add up");
  NodeIds inputs;
  for (NodeId id = 0; id < nodes.size(); ++id) {
    const std::string_view record = nodes.record(id);
    const RecordView view = RecordView::read(record, inputs);
    require(view.tag != NodeTag::Op, "no Op is left alone");
    for (NodeId x : view.inputs) require(x < id, "reduced nodes are topologically ordered");
  }
  require(fused.placement.size() == from.size(), "every engine node is placed");
  for (EngineId i = 0; i < from.size(); ++i) {
    const Landing& at = fused.placement[i];
    require(at.node < nodes.size(), "a node lands on a reduced node");
    const bool in_stage = tag_of_record(nodes.record(at.node)) == NodeTag::Stage;
    if (from.nodes[i].boundary) {
      require(!at.member.has_value(), "a boundary lands alone");
    } else {
      require(at.member.has_value() && in_stage, "an Op lands as a member of a Stage");
    }
  }
  require(fused.outputs.size() == from.outputs.size(), "outputs match one to one");
  for (NodeId o : fused.outputs) require(o < nodes.size(), "outputs are reduced nodes");
}

}  // namespace zembrik
