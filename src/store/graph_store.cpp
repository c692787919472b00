#include "store/graph_store.hpp"

#include <algorithm>
#include <cassert>
#include <string_view>
#include <utility>

#include "ir/key_record.hpp"

namespace zembrik {
namespace {

constexpr const char* kPoisoned = "zembrik-core store mutex poisoned";

}  // namespace

GraphStore::GraphStore() : state_(kPoisoned) {}

GraphStore::GraphStore(GraphStore&& other) : state_(kPoisoned, take(other)) {}

GraphStore::State GraphStore::take(GraphStore& other) {
  return other.state_.with([](State& s) { return std::exchange(s, State()); });
}

namespace {

Result<NodeId, BadNodeId> check_inputs(std::span<const NodeId> inputs, std::uint64_t count) {
  for (NodeId input : inputs) {
    if (input >= count) return BadNodeId{input};
  }
  return count;
}

}  // namespace

Result<NodeId, BadNodeId> GraphStore::intern(const NodeKey& key) {
  return state_.with([&](State& s) -> Result<NodeId, BadNodeId> {
    Result<NodeId, BadNodeId> checked = check_inputs(inputs_of(key), s.nodes.size());
    if (!checked) return checked;
    return s.nodes.intern(key);
  });
}

Result<NodeId, BadNodeId> GraphStore::intern_record(const EncodedKey& key) {
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
  return state_.with([&](State& s) -> Result<NodeId, BadNodeId> {
    Result<NodeId, BadNodeId> checked = check_inputs(key.inputs, s.nodes.size());
    if (!checked) return checked;
    return s.nodes.intern_record(key.record, key.has_nan);
  });
}

std::optional<GraphStore> GraphStore::from_distinct_records(NodeArena arena) {
#ifndef NDEBUG
  for (std::size_t i = 0; i < arena.size(); ++i) {
    std::string again;
    const NodeKey key = arena.key(i);
    assert(record::encode(key, again) == arena.has_nan(i) && again == arena.record(i) &&
           "record is not canonical");
    for (NodeId input : inputs_of(key)) assert(input < i && "input is not an earlier node");
  }
#endif
  std::optional<GraphStore> store(std::in_place);
  const bool distinct = store->state_.with([&](State& s) { return s.nodes.adopt_distinct(arena); });
  if (!distinct) store.reset();
  return store;
}

std::optional<BadNodeId> GraphStore::mark_output(NodeId id) {
  return state_.with([&](State& s) -> std::optional<BadNodeId> {
    if (id >= s.nodes.size()) return BadNodeId{id};
    // A bit per node beside the list keeps marking O(1) whatever the count.
    // The bit is set last, so that a failed allocation changes nothing.
    if (s.marked.size() <= id) s.marked.resize(s.nodes.size());
    if (!s.marked[id]) {
      s.outputs.push_back(id);
      s.marked[id] = true;
    }
    return std::nullopt;
  });
}

std::vector<NodeId> GraphStore::outputs() const {
  return state_.with([](const State& s) { return s.outputs; });
}

std::uint64_t GraphStore::node_count() const {
  return state_.with([](const State& s) -> std::uint64_t { return s.nodes.size(); });
}

std::uint64_t GraphStore::byte_size() const {
  return state_.with([](const State& s) -> std::uint64_t { return s.nodes.arena().byte_size(); });
}

void GraphStore::set_node_map(NodeMap map) {
  state_.with([&](State& s) { s.node_map = std::move(map); });
}

NodeMap GraphStore::node_map() const {
  return state_.with([](const State& s) { return s.node_map; });
}

StoreSnapshot GraphStore::snapshot() const {
  return state_.with([](const State& s) { return StoreSnapshot{s.nodes.arena(), s.outputs}; });
}

NodeArena GraphStore::snapshot_from(std::uint64_t start) const {
  return state_.with([&](const State& s) { return s.nodes.arena().slice_from(start); });
}

Result<NodeArena, BadNodeId> GraphStore::arena_holding(std::span<const NodeId> ids) const {
  NodeArena arena = state_.with([](const State& s) { return s.nodes.arena(); });
  for (NodeId id : ids) {
    if (id >= arena.size()) return BadNodeId{id};
  }
  return arena;
}

}  // namespace zembrik
