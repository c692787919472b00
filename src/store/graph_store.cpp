#include "store/graph_store.hpp"

#include <algorithm>
#include <cassert>
#include <string_view>
#include <utility>

#include "ir/hash.hpp"
#include "ir/key_record.hpp"

namespace zembrik {
namespace {

constexpr const char* kPoisoned = "zembrik-core store mutex poisoned";

// Whether two records are the same key: equal bytes, once NaNs are made
// canonical in either record that holds one.
bool same_key(std::string_view a, bool a_has_nan, std::string_view b, bool b_has_nan) {
  if (!a_has_nan && !b_has_nan) return a == b;
  return record::canonical(a) == record::canonical(b);
}

std::uint64_t seed_for(const void* store) {
  return mix64(reinterpret_cast<std::uintptr_t>(store) ^ 0x5A454D4252494B31ULL);
}

}  // namespace

std::string to_string(const BadNodeId& error) {
  return "BadNodeId(" + std::to_string(error.id) + ")";
}

GraphStore::GraphStore() : seed_(seed_for(this)), state_(kPoisoned) {}

GraphStore::GraphStore(GraphStore&& other) : seed_(other.seed_), state_(kPoisoned, take(other)) {}

GraphStore::State GraphStore::take(GraphStore& other) {
  return other.state_.with([](State& s) { return std::exchange(s, State()); });
}

std::uint64_t GraphStore::hash_record(std::string_view record, bool has_nan) const {
  return has_nan ? hash_bytes(record::canonical(record), seed_) : hash_bytes(record, seed_);
}

template <class StageRecord>
Result<NodeId, BadNodeId> GraphStore::intern_staged(std::span<const NodeId> inputs,
                                                    StageRecord&& stage) {
  return state_.with([&](State& s) -> Result<NodeId, BadNodeId> {
    const std::uint64_t n = s.arena.size();
    for (NodeId input : inputs) {
      if (input >= n) return BadNodeId{input};
    }
    const NodeArena::Candidate candidate = stage(s.arena);
    const std::string canonical_record =
        candidate.has_nan ? record::canonical(candidate.record) : std::string();
    const std::string_view canonical_bytes =
        candidate.has_nan ? std::string_view(canonical_record) : candidate.record;
    const std::uint64_t hash = hash_bytes(canonical_bytes, seed_);
    const auto equal = [&](NodeId id) {
      return same_key(s.arena.record(id), s.arena.has_nan(id), candidate.record, candidate.has_nan);
    };
    if (const std::optional<NodeId> found = s.index.find(hash, equal)) {
      s.arena.discard(candidate);
      return *found;
    }
    if (n > InternIndex::kMaxId) throw InternalFailure("graph store is full");
    s.arena.commit(candidate);
    s.index.insert(hash, n,
                   [&](NodeId id) { return hash_record(s.arena.record(id), s.arena.has_nan(id)); });
    return n;
  });
}

Result<NodeId, BadNodeId> GraphStore::intern(const NodeKey& key) {
  return intern_staged(inputs_of(key), [&](NodeArena& arena) { return arena.stage(key); });
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
  return intern_staged(
      key.inputs, [&](NodeArena& arena) { return arena.stage_record(key.record, key.has_nan); });
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
  const bool distinct = store->state_.with([&](State& s) {
    if (arena.size() > InternIndex::kMaxId) throw InternalFailure("graph store is full");
    const auto hash_of = [&](NodeId id) {
      return store->hash_record(arena.record(id), arena.has_nan(id));
    };
    const auto equal = [&](NodeId a, NodeId b) {
      return same_key(arena.record(a), arena.has_nan(a), arena.record(b), arena.has_nan(b));
    };
    if (!s.index.insert_distinct(arena.size(), hash_of, equal)) return false;
    s.arena = std::move(arena);
    return true;
  });
  if (!distinct) store.reset();
  return store;
}

std::optional<BadNodeId> GraphStore::mark_output(NodeId id) {
  return state_.with([&](State& s) -> std::optional<BadNodeId> {
    if (id >= s.arena.size()) return BadNodeId{id};
    // A bit per node beside the list keeps marking O(1) whatever the count.
    if (s.marked.size() <= id) s.marked.resize(s.arena.size());
    if (!s.marked[id]) {
      s.marked[id] = true;
      s.outputs.push_back(id);
    }
    return std::nullopt;
  });
}

std::vector<NodeId> GraphStore::outputs() const {
  return state_.with([](const State& s) { return s.outputs; });
}

std::uint64_t GraphStore::node_count() const {
  return state_.with([](const State& s) -> std::uint64_t { return s.arena.size(); });
}

void GraphStore::set_node_map(NodeMap map) {
  state_.with([&](State& s) { s.node_map = std::move(map); });
}

NodeMap GraphStore::node_map() const {
  return state_.with([](const State& s) { return s.node_map; });
}

StoreSnapshot GraphStore::snapshot() const {
  return state_.with([](const State& s) { return StoreSnapshot{s.arena, s.outputs}; });
}

NodeArena GraphStore::snapshot_from(std::uint64_t start) const {
  return state_.with([&](const State& s) { return s.arena.slice_from(start); });
}

Result<NodeArena, BadNodeId> GraphStore::arena_holding(std::span<const NodeId> ids) const {
  NodeArena arena = state_.with([](const State& s) { return s.arena; });
  for (NodeId id : ids) {
    if (id >= arena.size()) return BadNodeId{id};
  }
  return arena;
}

}  // namespace zembrik
