#include "store/graph_store.hpp"

#include <string_view>
#include <utility>

#include "ir/hash.hpp"
#include "ir/key_record.hpp"

namespace zembrik {
namespace {

constexpr const char* kPoisoned = "zembrik-core store mutex poisoned";

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

Result<NodeId, BadNodeId> GraphStore::intern(const NodeKey& key) {
  const NodeIds& inputs = inputs_of(key);
  return state_.with([&](State& s) -> Result<NodeId, BadNodeId> {
    const std::uint64_t n = s.arena.size();
    for (NodeId input : inputs) {
      if (input >= n) return BadNodeId{input};
    }
    const NodeArena::Candidate candidate = s.arena.stage(key);
    const std::string canonical_record =
        candidate.has_nan ? record::canonical(candidate.record) : std::string();
    const std::string_view canonical_bytes =
        candidate.has_nan ? std::string_view(canonical_record) : candidate.record;
    const std::uint64_t hash = hash_bytes(canonical_bytes, seed_);
    const auto equal = [&](NodeId id) {
      if (!candidate.has_nan && !s.arena.has_nan(id)) return s.arena.record(id) == candidate.record;
      return record::canonical(s.arena.record(id)) == canonical_bytes;
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
