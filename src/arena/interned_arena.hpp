// InternedArena: a NodeArena with its hash index, so that equal keys are kept
// once. The graph store keeps one behind its lock; the incremental reducer
// keeps its canonical form in one. Not synchronized itself.
//
// Keys are compared as records: equal bytes, once NaN floats are made
// canonical in a record that holds one. Inputs are not checked here.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "arena/intern_index.hpp"
#include "arena/node_arena.hpp"
#include "base/hash.hpp"
#include "ir/node_key.hpp"

namespace zembrik {

class InternedArena {
 public:
  // The index hashes with the process key (base/hash.hpp), since the keys
  // come from users; the hash never reaches a result.
  InternedArena() : key_(process_hash_key()) {}

  const NodeArena& arena() const { return arena_; }
  std::size_t size() const { return arena_.size(); }

  // The id of a key equal to `key`, if there is one.
  std::optional<NodeId> find(const NodeKey& key);
  // The id of `key`, appended when new. A failed allocation leaves the
  // arena as it was.
  NodeId intern(const NodeKey& key);
  // The same for a key given as a canonical record (what record::encode
  // writes), with its record::wide_size when known (0 when not).
  NodeId intern_record(std::string_view record, bool has_nan, std::size_t wide = 0);

  // Makes room for `more` new keys, so that interning them never grows the
  // index, and they can be taken out again with truncate. A failed
  // allocation leaves the arena as it was.
  void reserve_for(std::size_t more);
  // Takes out the keys from `count` on, which must all have been interned
  // since a reserve_for that made room for them. Allocates nothing: this is
  // how a batch of interns that failed part way is undone.
  void truncate(std::size_t count);

  // Takes over `arena` as the whole content when no two of its records are
  // equal keys; false, and nothing changed, otherwise. Must be empty before.
  bool adopt_distinct(NodeArena& arena);
  // The same, telling the records apart mostly without hashing them:
  // `anchors[i]` is record i's largest input plus one, or 0 without inputs,
  // which equal keys share. The index is then built on first use, so a
  // graph that is only read never pays for it.
  bool adopt_distinct(NodeArena& arena, std::span<const NodeId> anchors);

 private:
  struct Probe {
    NodeArena::Candidate candidate;
    std::uint64_t hash;
    std::optional<NodeId> found;
  };
  // Looks up a candidate just staged at the arena's end.
  Probe probe(const NodeArena::Candidate& candidate) const;
  // Keeps a candidate just staged when its key is new, else drops it.
  NodeId keep_or_drop(const NodeArena::Candidate& candidate);
  // The id of a key equal to `record`'s, or the next one after `keep()`
  // has put the record at the arena's end.
  template <class Keep>
  NodeId find_or_keep(std::string_view record, bool has_nan, Keep&& keep);
  std::uint64_t hash_record(std::string_view record, bool has_nan) const;
  // hash_of(id) and equal(a, b) over the records of `arena`.
  auto hash_in(const NodeArena& arena) const;
  static auto equal_in(const NodeArena& arena);
  // Indexes an arena adopted without its index.
  void ensure_index();

  HashKey key_;
  NodeArena arena_;
  InternIndex index_;
  bool indexed_ = true;  // false while an adopted arena waits for its index
};

}  // namespace zembrik
