// What each pass of the reduction pipeline promises the next one, checked.
//
// The pipeline runs these after every pass in Debug builds, and in any build
// compiled with ZEMBRIK_VERIFY_PASSES (the test suites' build turns it on);
// elsewhere it never calls them. A broken promise throws InternalFailure
// naming it.
#pragma once

#include <cstddef>

#include "optimizer/engine_graph.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/stage_fusion.hpp"

namespace zembrik {

// The kept ids ascend, `remap` inverts them, and outputs fall among them.
void verify(const LiveNodes& live, std::size_t input_nodes);

// Nodes refer to known tokens, lay their inputs back to back and use only
// earlier nodes; outputs are nodes; a node is a boundary exactly when its
// token is not an Op's.
void verify(const EngineGraph& graph);

// The graph, and a key to rebuild every boundary token from.
void verify(const EngineInput& input);

// The graph, a class for every node of `from` that covers every node kept,
// and outputs that are the classes of `from`'s.
void verify(const Canonicalized& canonical, const EngineGraph& from);

// As a canonicalization, and no two nodes left with equal token and inputs.
void verify(const Eliminated& eliminated, const EngineGraph& from);

// Reduced nodes in topological order, none an Op, counted as stages and
// boundary nodes; every node of `from` placed, an Op as a member of a Stage
// and a boundary alone; outputs among the reduced nodes.
void verify(const FusedGraph& fused, const EngineGraph& from);

}  // namespace zembrik
