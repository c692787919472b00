// The graph that crosses the rewrite-engine interface, and the interface.
//
// The reduction pipeline flattens its graph into an EngineGraph of operator
// tokens and asks a RewriteEngine to canonicalize it: to find which nodes are
// equal under sound algebraic rules and return one node per class. The
// engine knows nothing of node keys; tokens are its operator symbols.
//
// Tokens repeat a lot (a pipeline has few distinct operations), so a graph
// keeps each distinct token once and nodes refer to it by index; the inputs
// of all nodes sit back to back in one array.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zembrik {

using EngineId = std::uint64_t;

struct EngineNode {
  std::uint32_t token;  // index into EngineGraph::tokens
  bool boundary;        // never fused: every node that is not an Op
  std::uint32_t input_count;
  std::uint64_t first_input;  // position of the first input in EngineGraph::inputs
};

struct EngineGraph {
  std::vector<std::string> tokens;
  std::vector<EngineNode> nodes;  // topologically ordered
  std::vector<EngineId> inputs;   // operands of every node, in node and operand order
  std::vector<EngineId> outputs;  // order and repeats matter to the caller

  std::size_t size() const { return nodes.size(); }
  const std::string& token_of(EngineId id) const { return tokens[nodes[id].token]; }
  std::span<const EngineId> inputs_of(EngineId id) const {
    return std::span<const EngineId>(inputs).subspan(nodes[id].first_input, nodes[id].input_count);
  }
  // Appends a node over a token already in `tokens`; returns its id.
  EngineId add_node(std::uint32_t token, std::span<const EngineId> operands, bool boundary) {
    nodes.push_back(EngineNode{token, boundary, static_cast<std::uint32_t>(operands.size()),
                               static_cast<std::uint64_t>(inputs.size())});
    inputs.insert(inputs.end(), operands.begin(), operands.end());
    return nodes.size() - 1;
  }
};

// A canonical graph and, for every node of the graph it came from, the
// position of the canonical node that represents it.
struct Canonicalized {
  EngineGraph graph;
  std::vector<EngineId> class_map;
  // The engine's promise that no two nodes of `graph` have the same token
  // over the same operands; the pipeline then skips its own elimination.
  bool hash_consed = false;
};

// The one replaceable component of the optimizer. The result must be
// topologically ordered; its outputs match the argument's one to one; every
// node is represented by exactly one canonical node computing the same value;
// and a canonical node is a boundary exactly when its token is not an Op's.
class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual Canonicalized canonicalize(const EngineGraph& graph) const = 0;
};

// Whether a token is an Op's, i.e. one the engine may fuse.
inline bool is_op_token(std::string_view token) {
  return token.starts_with("op|");
}

}  // namespace zembrik
