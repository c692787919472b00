// The values that name nodes across a reduction: a bad id, and where each
// node of the graph a reduction started from landed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ir/node_key.hpp"

namespace zembrik {

// The only error of the arena's users: an id that is not below the node count.
struct BadNodeId {
  NodeId id;
  friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};
std::string to_string(const BadNodeId& error);  // "BadNodeId(7)"

// Where a node of the store a reduction started from landed: a node here, or
// a member of a stage node here.
struct Landing {
  NodeId node;
  std::optional<std::uint64_t> member;
  friend bool operator==(const Landing&, const Landing&) = default;
};
using NodeMap = std::vector<std::optional<Landing>>;

}  // namespace zembrik
