#include "store/graph.hpp"

#include <algorithm>
#include <cassert>
#include <string_view>
#include <utility>

#include "ir/record.hpp"

namespace zembrik {

Result<NodeId, BadNodeId> Graph::intern(const NodeKey& key) {
  if (const Result<void, BadNodeId> checked = check_ids(inputs_of(key), nodes_.size()); !checked) {
    return checked.error();
  }
  return nodes_.intern(key);
}

void Graph::check_canonical([[maybe_unused]] const EncodedKey& key) {
#ifndef NDEBUG
  // The arena's invariants rest on this: one byte form per key, and a NaN
  // flag that tells which records need canonicalizing before comparison.
  const NodeKey decoded = record::decode(key.record);
  std::string again;
  const bool has_nan = record::encode(decoded, again);
  assert(again == key.record && has_nan == key.has_nan && "record is not canonical");
  const NodeIds& inputs = inputs_of(decoded);
  assert(std::equal(inputs.begin(), inputs.end(), key.inputs.begin(), key.inputs.end()) &&
         "inputs differ from the record's");
#endif
}

namespace {

// The arena's invariants rest on this: records as record::encode writes
// them, each naming only earlier records as inputs.
void assert_canonical([[maybe_unused]] const NodeArena& arena) {
#ifndef NDEBUG
  for (std::size_t i = 0; i < arena.size(); ++i) {
    std::string again;
    const NodeKey key = arena.key(i);
    assert(record::encode(key, again) == arena.has_nan(i) && again == arena.record(i) &&
           "record is not canonical");
    for (NodeId input : inputs_of(key)) assert(input < i && "input is not an earlier node");
  }
#endif
}

}  // namespace

std::optional<Graph> Graph::from_distinct_records(NodeArena arena) {
  assert_canonical(arena);
  std::optional<Graph> graph(std::in_place);
  if (!graph->nodes_.adopt_distinct(arena)) graph.reset();
  return graph;
}

std::optional<Graph> Graph::from_distinct_records(NodeArena arena,
                                                  std::span<const NodeId> anchors) {
  assert_canonical(arena);
  std::optional<Graph> graph(std::in_place);
  if (!graph->nodes_.adopt_distinct(arena, anchors)) graph.reset();
  return graph;
}

Result<void, BadNodeId> Graph::mark_output(NodeId id) {
  if (id >= nodes_.size()) return BadNodeId{id};
  // A bit per node beside the list keeps marking O(1) whatever the count.
  // The bit is set last, so that a failed allocation changes nothing.
  if (marked_.size() <= id) marked_.resize(nodes_.size());
  if (!marked_[id]) {
    outputs_.push_back(id);
    marked_[id] = true;
  }
  return {};
}

}  // namespace zembrik
