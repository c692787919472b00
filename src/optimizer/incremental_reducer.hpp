// IncrementalReducer: a canonical form kept up to date while a graph is being
// recorded.
//
// Each step consumes only the nodes recorded since the previous one and folds
// them in with the rules, through the same fold_node as the direct engine:
// identity elimination, commutative deduplication and hash-consing. Inputs
// are mapped before lookups, so merges propagate at once and the form is
// canonical after every step. finalize runs the rest of the pipeline over it
// (dead-code elimination and fusion), without canonicalizing it again. Not
// synchronized; its owner locks it.
#pragma once

#include <span>
#include <vector>

#include "arena/interned_arena.hpp"
#include "arena/node_map.hpp"
#include "base/result.hpp"
#include "optimizer/reduced.hpp"

namespace zembrik {

class IncrementalReducer {
 public:
  IncrementalReducer();

  // Consumes `delta`, the store's nodes from the watermark on. On BadNodeId
  // the nodes before the failing one stay consumed and the total work does
  // not grow. A failed allocation leaves the reducer as it was.
  [[nodiscard]] Result<std::uint64_t, BadNodeId> step(const NodeArena& delta);
  // The pipeline over the canonical form, with a node map indexed by store ids.
  [[nodiscard]] Result<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs,
                                                    bool maximal_fusion) const;

  // Where the reducer stands, to go back to with rollback when a call that
  // stepped it fails later on.
  struct Checkpoint {
    std::size_t consumed;
    std::size_t canonical;
    std::uint64_t total_work;
  };
  Checkpoint checkpoint() const { return {id_map_.size(), canon_.size(), total_work_}; }
  // Undoes the one step taken since `mark`; allocates nothing.
  void rollback(const Checkpoint& mark);

  std::uint64_t watermark() const { return id_map_.size(); }
  std::uint64_t total_work() const { return total_work_; }
  std::uint64_t canonical_count() const { return canon_.size(); }
  const NodeArena& canon() const { return canon_.arena(); }
  // Per consumed store node, the canonical id standing for it.
  std::span<const NodeId> id_map() const { return id_map_; }

 private:
  // The canonical id standing for a key whose inputs are already canonical.
  NodeId canonical_id(NodeKey key);

  InternedArena canon_;         // with canon_index: distinct keys over canonical ids
  std::vector<NodeId> id_map_;  // per consumed store node: its canonical id
  std::uint64_t total_work_ = 0;
};

}  // namespace zembrik
