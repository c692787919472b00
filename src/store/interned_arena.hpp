// InternedArena: a NodeArena with its hash index, so that equal keys are kept
// once. The graph store keeps one behind its lock; the incremental reducer
// keeps its canonical form in one. Not synchronized itself.
//
// Keys are compared as records: equal bytes, once NaN floats are made
// canonical in a record that holds one. Inputs are not checked here.
#pragma once

#include <optional>
#include <string_view>

#include "ir/node_key.hpp"
#include "store/intern_index.hpp"
#include "store/node_arena.hpp"

namespace zembrik {

class InternedArena {
 public:
  // `seed` keys the index's hash; it never reaches a result.
  explicit InternedArena(std::uint64_t seed = 0) : seed_(seed) {}

  const NodeArena& arena() const { return arena_; }
  std::size_t size() const { return arena_.size(); }

  // The id of a key equal to `key`, if there is one.
  std::optional<NodeId> find(const NodeKey& key);
  // The id of `key`, appended when new.
  NodeId intern(const NodeKey& key);
  // The same for a key given as a canonical record (what record::encode
  // writes).
  NodeId intern_record(std::string_view record, bool has_nan);

  // Takes over `arena` as the whole content when no two of its records are
  // equal keys; false, and nothing changed, otherwise. Must be empty before.
  bool adopt_distinct(NodeArena& arena);

 private:
  struct Probe {
    NodeArena::Candidate candidate;
    std::uint64_t hash;
    std::optional<NodeId> found;
  };
  // Looks up a candidate just staged at the arena's end.
  Probe probe(const NodeArena::Candidate& candidate) const;
  NodeId keep_or_drop(const Probe& probe);
  std::uint64_t hash_record(std::string_view record, bool has_nan) const;

  std::uint64_t seed_;
  NodeArena arena_;
  InternIndex index_;
};

}  // namespace zembrik
