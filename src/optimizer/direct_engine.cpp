#include "optimizer/direct_engine.hpp"

#include <vector>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "optimizer/engine_index.hpp"
#include "optimizer/rules.hpp"

namespace zembrik {

Canonicalized DirectEngine::canonicalize(const EngineGraph& graph) const {
  const std::size_t n = graph.size();
  Canonicalized out;
  out.graph.tokens = graph.tokens;
  out.graph.nodes.reserve(n);
  out.graph.inputs.reserve(graph.inputs.size());
  out.class_map.resize(n);

  // Canonical ids are positions in the canonical graph: a node that starts a
  // class is appended there as it stands, over its operands' classes.
  std::vector<Rule> asked;
  std::vector<bool> boundary;
  asked.reserve(graph.tokens.size());
  boundary.reserve(graph.tokens.size());
  for (const std::string& token : graph.tokens) {
    asked.push_back(rule_asked_by_token(token));
    boundary.push_back(!is_op_token(token));
  }
  EngineIndex index;
  std::vector<EngineId> operands;
  InterruptPoints points;
  for (EngineId i = 0; i < n; ++i) {
    points.tick();
    operands.clear();
    for (EngineId x : graph.inputs_of(i)) {
      if (x >= i) fail("engine graph is topologically ordered");
      operands.push_back(out.class_map[x]);
    }
    const std::uint32_t token = graph.nodes[i].token;
    out.class_map[i] = fold_node<EngineId>(
        rule_for(asked[token], operands.size()), operands,
        [&] { return index.find(out.graph, token, operands); },
        [&] { return index.find_or_add(out.graph, token, operands, boundary[token]); });
  }
  out.hash_consed = true;
  out.graph.outputs.reserve(graph.outputs.size());
  for (EngineId o : graph.outputs) out.graph.outputs.push_back(out.class_map.at(o));
  return out;
}

}  // namespace zembrik
