// Reduced: what a reduction produces, before it becomes a store.
#pragma once

#include <cstdint>
#include <vector>

#include "arena/node_arena.hpp"
#include "arena/node_map.hpp"
#include "ir/node_key.hpp"

namespace zembrik {

struct ReductionReport {
  std::uint64_t input_nodes = 0;      // nodes of the input graph
  std::uint64_t reachable_nodes = 0;  // kept by dead-code elimination
  std::uint64_t canonical_nodes = 0;  // after canonicalization and elimination of equal nodes
  std::uint64_t stages = 0;           // Stage nodes emitted
  std::uint64_t reduced_nodes = 0;    // stages + boundary_nodes
  std::uint64_t boundary_nodes = 0;   // nodes emitted alone
  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

struct Reduced {
  NodeArena nodes;              // topologically ordered; Stages and boundary nodes, never an Op
  std::vector<NodeId> outputs;  // one per requested output, same order, repeats kept
  NodeMap node_map;             // per input node: where it landed, or nothing if dead
  ReductionReport report;
};

}  // namespace zembrik
