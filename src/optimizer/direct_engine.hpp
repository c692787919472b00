// DirectEngine: the RewriteEngine the reductions use. It applies the rules of
// optimizer/rules.hpp in one pass over the graph in topological order, which
// reaches the same fixed point as equality saturation without its limits: the
// result depends only on the graph.
//
// As with SaturationEngine, only nodes of the argument come back; of each
// class the one at the smallest position represents it, with its own operand
// order, and equal tokens over equal classes share one node.
#pragma once

#include "optimizer/engine_graph.hpp"

namespace zembrik {

class DirectEngine : public RewriteEngine {
 public:
  Canonicalized canonicalize(const EngineGraph& graph) const override;
};

}  // namespace zembrik
