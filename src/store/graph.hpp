// Graph: the interned, hash-consed, append-only graph a pipeline is
// recorded into, as a plain value: the arena with its intern index, the
// output marks and the node map.
//
// Each distinct key gets one dense id, its position in the arena, and
// recording an equal key again hands the same id back. Inputs must name
// earlier nodes, so the arena is always a DAG in topological order. Nothing
// is ever removed, so an id checked against an earlier node count stays
// valid. A Graph is not synchronized: the Python binding keeps each one that
// threads share behind a lock, and every other layer makes and reads them
// as values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arena/interned_arena.hpp"
#include "arena/node_arena.hpp"
#include "arena/node_map.hpp"
#include "base/result.hpp"
#include "ir/node_key.hpp"

namespace zembrik {

// A key already written as a record (record::encode's format, NaNs as they
// are), whether it holds a NaN float, its input ids in order and, when the
// producer knows it, its record::wide_size (0 otherwise). Lets a reader that
// builds records itself intern them without building keys.
struct EncodedKey {
  std::string_view record;
  bool has_nan;
  std::span<const NodeId> inputs;
  std::size_t wide = 0;
};

// BadNodeId for the first of `ids` that is not below `count`.
inline Result<void, BadNodeId> check_ids(std::span<const NodeId> ids, std::uint64_t count) {
  for (NodeId id : ids) {
    if (id >= count) return BadNodeId{id};
  }
  return {};
}

// The arena and the marks, copied together.
struct StoreSnapshot {
  NodeArena arena;
  std::vector<NodeId> outputs;
};

class Graph {
 public:
  Graph() = default;
  Graph(Graph&&) noexcept = default;
  Graph& operator=(Graph&&) noexcept = default;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // The key's id, new or existing; BadNodeId for the first input, in order,
  // that is not below the node count, in which case nothing is recorded.
  // A failed allocation leaves the graph as it was.
  [[nodiscard]] Result<NodeId, BadNodeId> intern(const NodeKey& key);
  // The same for a key given as its record, which must be canonical: what
  // record::encode writes for some key.
  // Inline: the store's recording path, one call per recorded node.
  [[nodiscard]] Result<NodeId, BadNodeId> intern_record(const EncodedKey& key) {
#ifndef NDEBUG
    check_canonical(key);
#endif
    if (const Result<void, BadNodeId> checked = check_ids(key.inputs, nodes_.size()); !checked) {
      return checked.error();
    }
    return nodes_.intern_record(key.record, key.has_nan, key.wide);
  }
  // A graph whose nodes are exactly the records of `arena`, ids in arena
  // order, when no two records are equal keys; nothing otherwise. Every
  // record must be canonical and name only earlier positions as inputs, as
  // a reader that has checked them builds it. Indexes all records in one
  // pass, much faster than interning them one by one.
  static std::optional<Graph> from_distinct_records(NodeArena arena);
  // The same for a reader that knows each record's anchor, its largest
  // input plus one or 0 without inputs: most records are then told apart
  // without hashing, and the index is built on the first intern.
  static std::optional<Graph> from_distinct_records(NodeArena arena,
                                                    std::span<const NodeId> anchors);

  // Set once, by the operation that builds a graph from a reduction.
  void set_node_map(NodeMap map) { node_map_ = std::move(map); }

  // Appends `id` to the marks unless it is already there.
  [[nodiscard]] Result<void, BadNodeId> mark_output(NodeId id);

  const NodeArena& arena() const { return nodes_.arena(); }
  const std::vector<NodeId>& outputs() const { return outputs_; }
  std::uint64_t node_count() const { return nodes_.size(); }
  // The bytes of all records: what a copy of the arena costs.
  std::uint64_t byte_size() const { return nodes_.arena().byte_size(); }
  const NodeMap& node_map() const { return node_map_; }
  // A copy of the arena and the marks.
  StoreSnapshot snapshot() const { return StoreSnapshot{arena(), outputs_}; }

 private:
  // Asserts, in debug builds, that the record is what record::encode
  // writes for its key.
  static void check_canonical(const EncodedKey& key);

  InternedArena nodes_;
  std::vector<NodeId> outputs_;
  std::vector<bool> marked_;  // marked_[id]: id is in `outputs_`
  NodeMap node_map_;
};

}  // namespace zembrik
