#include "arena/interned_arena.hpp"

#include <string>

#include "base/failure.hpp"
#include "base/result.hpp"
#include "ir/record.hpp"

namespace zembrik {
namespace {

bool same_key(std::string_view a, bool a_has_nan, std::string_view b, bool b_has_nan) {
  if (!a_has_nan && !b_has_nan) return a == b;
  return record::canonical(a) == record::canonical(b);
}

// Drops a staged candidate when it goes out of scope, unless it was kept:
// every failure before the commit (hashing a NaN record allocates, and so
// does growing the index) then leaves no trace.
class Staged {
 public:
  Staged(NodeArena& arena, const NodeArena::Candidate& candidate)
      : arena_(arena), candidate_(candidate) {}
  ~Staged() {
    if (!kept_) arena_.discard(candidate_);
  }
  Staged(const Staged&) = delete;
  Staged& operator=(const Staged&) = delete;

  const NodeArena::Candidate& candidate() const { return candidate_; }
  void commit() {
    arena_.commit(candidate_);
    kept_ = true;
  }

 private:
  NodeArena& arena_;
  NodeArena::Candidate candidate_;
  bool kept_ = false;
};

}  // namespace

std::uint64_t InternedArena::hash_record(std::string_view record, bool has_nan) const {
  return has_nan ? keyed_hash(record::canonical(record), key_) : keyed_hash(record, key_);
}

InternedArena::Probe InternedArena::probe(const NodeArena::Candidate& candidate) const {
  const std::uint64_t hash = hash_record(candidate.record, candidate.has_nan);
  const auto equal = [&](NodeId id) {
    return same_key(arena_.record(id), arena_.has_nan(id), candidate.record, candidate.has_nan);
  };
  return Probe{candidate, hash, index_.find(hash, equal)};
}

NodeId InternedArena::keep_or_drop(const NodeArena::Candidate& candidate) {
  Staged staged(arena_, candidate);
  // Room first, so that one probe finds the key or the slot it goes in, and
  // filling that slot after the record is kept cannot fail.
  reserve_for(1);
  const std::uint64_t hash = hash_record(candidate.record, candidate.has_nan);
  const InternIndex::Place place = index_.place_for(hash, [&](NodeId id) {
    return same_key(arena_.record(id), arena_.has_nan(id), candidate.record, candidate.has_nan);
  });
  if (place.found) return *place.found;
  const NodeId id = arena_.size();
  if (id > InternIndex::kMaxId) fail("graph store is full");
  staged.commit();
  index_.fill(place, hash, id);
  return id;
}

void InternedArena::reserve_for(std::size_t more) {
  index_.reserve(arena_.size() + more,
                 [&](NodeId at) { return hash_record(arena_.record(at), arena_.has_nan(at)); });
}

void InternedArena::truncate(std::size_t count) {
  if (count >= arena_.size()) return;
  index_.erase_from(count);
  arena_.truncate(count);
}

std::optional<NodeId> InternedArena::find(const NodeKey& key) {
  const Staged staged(arena_, arena_.stage(key));
  return probe(staged.candidate()).found;
}

NodeId InternedArena::intern(const NodeKey& key) {
  return keep_or_drop(arena_.stage(key));
}

NodeId InternedArena::intern_record(std::string_view record, bool has_nan, std::size_t wide) {
  return keep_or_drop(arena_.stage_record(record, has_nan, wide));
}

bool InternedArena::adopt_distinct(NodeArena& arena) {
  if (arena.size() > InternIndex::kMaxId) fail("graph store is full");
  const auto hash_of = [&](NodeId id) { return hash_record(arena.record(id), arena.has_nan(id)); };
  const auto equal = [&](NodeId a, NodeId b) {
    return same_key(arena.record(a), arena.has_nan(a), arena.record(b), arena.has_nan(b));
  };
  InternIndex index;
  if (!index.insert_distinct(arena.size(), hash_of, equal)) return false;
  index_ = std::move(index);
  arena_ = std::move(arena);
  return true;
}

}  // namespace zembrik
