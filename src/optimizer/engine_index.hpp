// EngineIndex: finds the node of an EngineGraph with a given token over given
// operands, for the passes that hash-cons engine nodes (the direct engine
// and common-subexpression elimination).
#pragma once

#include <algorithm>
#include <optional>
#include <span>

#include "arena/intern_index.hpp"
#include "base/hash.hpp"
#include "optimizer/engine_graph.hpp"

namespace zembrik {

class EngineIndex {
  // Keyed: tokens and graph shapes come from users.
  static std::uint64_t hash_of(std::uint32_t token, std::span<const EngineId> operands) {
    KeyedHasher hasher;
    hasher.add(token);
    for (EngineId x : operands) hasher.add(x);
    return hasher.finish();
  }

  static auto same_as(const EngineGraph& graph, std::uint32_t token,
                      std::span<const EngineId> operands) {
    return [&graph, token, operands](EngineId id) {
      const auto other = graph.inputs_of(id);
      return graph.nodes[id].token == token &&
             std::equal(other.begin(), other.end(), operands.begin(), operands.end());
    };
  }

 public:
  // The node of `graph` with `token` over `operands`, if one was added here.
  std::optional<EngineId> find(const EngineGraph& graph, std::uint32_t token,
                               std::span<const EngineId> operands) const {
    return index_.find(hash_of(token, operands), same_as(graph, token, operands));
  }

  // That node, appended to `graph` first if it is not there yet.
  EngineId find_or_add(EngineGraph& graph, std::uint32_t token, std::span<const EngineId> operands,
                       bool boundary) {
    const std::uint64_t hash = hash_of(token, operands);
    if (const std::optional<EngineId> found = index_.find(hash, same_as(graph, token, operands))) {
      return *found;
    }
    const EngineId id = graph.add_node(token, operands, boundary);
    index_.insert(hash, id,
                  [&](EngineId at) { return hash_of(graph.nodes[at].token, graph.inputs_of(at)); });
    return id;
  }

 private:
  InternIndex index_;
};

}  // namespace zembrik
