// GraphStore: the interned, hash-consed, append-only graph a pipeline is
// recorded into.
//
// Each distinct key gets one dense id, its position in the arena, and
// recording an equal key again hands the same id back. Inputs must name
// earlier nodes, so the arena is always a DAG in topological order. All state
// sits behind one mutex; every read copies what it returns, so reduction,
// serialization and rendering run without the lock. Nothing is ever removed,
// so an id checked against an earlier node count stays valid.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arena/interned_arena.hpp"
#include "arena/node_arena.hpp"
#include "arena/node_map.hpp"
#include "base/guarded.hpp"
#include "base/result.hpp"
#include "ir/node_key.hpp"

namespace zembrik {

// A key already written as a record (record::encode's format, NaNs as they
// are), whether it holds a NaN float, and its input ids in order. Lets a
// reader that builds records itself intern them without building keys.
struct EncodedKey {
  std::string_view record;
  bool has_nan;
  std::span<const NodeId> inputs;
};

// The arena and the marks, copied at one locked moment.
struct StoreSnapshot {
  NodeArena arena;
  std::vector<NodeId> outputs;
};

class GraphStore {
 public:
  GraphStore();
  GraphStore(GraphStore&& other);
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;
  GraphStore& operator=(GraphStore&&) = delete;

  // The key's id, new or existing; BadNodeId for the first input, in order,
  // that is not below the node count, in which case nothing is recorded.
  [[nodiscard]] Result<NodeId, BadNodeId> intern(const NodeKey& key);
  // The same for a key given as its record, which must be canonical: what
  // record::encode writes for some key.
  [[nodiscard]] Result<NodeId, BadNodeId> intern_record(const EncodedKey& key);
  // A store whose nodes are exactly the records of `arena`, ids in arena
  // order, when no two records are equal keys; nothing otherwise. Every
  // record must be canonical and name only earlier positions as inputs, as
  // a reader that has checked them builds it. Indexes all records in one
  // pass, much faster than interning them one by one.
  static std::optional<GraphStore> from_distinct_records(NodeArena arena);

  // Set once, by the operation that builds a store from a reduction.
  void set_node_map(NodeMap map);

  // Appends `id` to the marks unless it is already there.
  [[nodiscard]] std::optional<BadNodeId> mark_output(NodeId id);

  std::vector<NodeId> outputs() const;
  std::uint64_t node_count() const;
  // The bytes of all records: what a copy of the store costs.
  std::uint64_t byte_size() const;
  NodeMap node_map() const;
  StoreSnapshot snapshot() const;
  NodeArena snapshot_from(std::uint64_t start) const;
  // The whole arena, once every id of `ids` is known to be in it.
  Result<NodeArena, BadNodeId> arena_holding(std::span<const NodeId> ids) const;

 private:
  struct State {
    InternedArena nodes;
    std::vector<NodeId> outputs;
    std::vector<bool> marked;  // marked[id]: id is in `outputs`
    NodeMap node_map;
  };

  static State take(GraphStore& other);

  Guarded<State> state_;
};

}  // namespace zembrik
