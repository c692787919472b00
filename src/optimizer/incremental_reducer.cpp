#include "optimizer/incremental_reducer.hpp"

#include <utility>

#include "base/interrupt.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/rules.hpp"

namespace zembrik {

IncrementalReducer::IncrementalReducer() = default;

NodeId IncrementalReducer::canonical_id(NodeKey key) {
  Op* op = std::get_if<Op>(&key);
  if (op == nullptr) return canon_.intern(key);
  return fold_node<NodeId>(
      rule_of(*op), std::span<NodeId>(op->inputs), [&] { return canon_.find(key); },
      [&] { return canon_.intern(key); });
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(const NodeArena& delta) {
  const Checkpoint before = checkpoint();
  // Room for every node to be new: then the canonical index never grows
  // during the step, and a step that fails part way can be taken back.
  canon_.reserve_for(delta.size());
  try {
    InterruptPoints points;
    for (std::size_t i = 0; i < delta.size(); ++i) {
      points.tick();
      NodeKey key = delta.key(i);
      if (NodeIds* inputs = mutable_inputs(key)) {
        for (NodeId& x : *inputs) {
          if (x >= id_map_.size()) return BadNodeId{x};
          x = id_map_[x];
        }
      }
      id_map_.push_back(canonical_id(std::move(key)));
    }
  } catch (...) {
    rollback(before);
    throw;
  }
  total_work_ += delta.size();
  return static_cast<std::uint64_t>(delta.size());
}

void IncrementalReducer::rollback(const Checkpoint& mark) {
  canon_.truncate(mark.canonical);
  id_map_.resize(mark.consumed);
  total_work_ = mark.total_work;
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(std::span<const NodeId> outputs,
                                                        bool maximal_fusion) const {
  std::vector<NodeId> mapped;
  mapped.reserve(outputs.size());
  for (NodeId o : outputs) {
    if (o >= id_map_.size()) return BadNodeId{o};
    mapped.push_back(id_map_[o]);
  }
  Reduced reduced = reduce_canonical_form(canon_.arena(), mapped, maximal_fusion);
  NodeMap by_store_id(id_map_.size());
  for (std::size_t i = 0; i < id_map_.size(); ++i) by_store_id[i] = reduced.node_map[id_map_[i]];
  reduced.node_map = std::move(by_store_id);
  return reduced;
}

}  // namespace zembrik
