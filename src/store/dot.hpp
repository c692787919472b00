// DOT rendering: a graph as a Graphviz directed graph, one string.
//
//   digraph zembrik {
//     n0 [label="Source a"];
//     n1 [label="Op add {scalar=0, side=\"r\"}", shape=doublecircle];
//     n0 -> n1;
//   }
//
// One node line per node in id order, labelled with the node's label and
// drawn as a double circle when marked as output, then one edge line per
// input reference, from producer to consumer. The text depends only on the
// nodes and the marks.
#pragma once

#include <span>
#include <string>

#include "arena/node_arena.hpp"
#include "store/graph.hpp"

namespace zembrik {

// The DOT text of `arena`, with the nodes in `outputs` drawn as outputs.
std::string render_dot(const NodeArena& arena, std::span<const NodeId> outputs);

// The DOT text of `graph`.
std::string to_dot(const Graph& graph);

}  // namespace zembrik
