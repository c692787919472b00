#include "arena/interned_arena.hpp"

#include <cassert>
#include <cstring>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
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

// A fixed mix of a record's length and of its first and last eight bytes,
// which tell apart most records sharing an anchor: their names and params
// lead, their inputs end. Equal bytes give equal mixes. It only sorts
// records into cells of the table below, never into a probe run.
std::uint64_t mix_ends(std::string_view bytes) {
  constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15ULL;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  if (bytes.size() >= 8) {
    std::memcpy(&first, bytes.data(), 8);
    std::memcpy(&last, bytes.data() + bytes.size() - 8, 8);
  } else {
    for (const char c : bytes) first = first << 8 | static_cast<unsigned char>(c);
  }
  const std::uint64_t h = ((bytes.size() * kOdd) ^ first) * kOdd;
  return (h ^ last) * kOdd;
}

// Adds one to a 2-bit count at `shift` in `cells`, stopping at 2.
void count_in(std::uint32_t& cells, unsigned shift) {
  if (((cells >> shift) & 3) < 2) cells += std::uint32_t{1} << shift;
}

// Whether no two records of `arena` are equal keys. Equal keys share their
// anchor, so a record alone with its anchor has no equal. Records that share
// one are told apart further by 4 bits of mix_ends (NaN records, whose bytes
// are not canonical, all take bits 0), and only those that still share a
// cell are hashed and compared. Cells are addressed directly and never
// probed, so crafted collisions only send more records to the keyed check.
template <class HashOf, class Equal>
bool records_distinct(const NodeArena& arena, std::span<const NodeId> anchors, HashOf&& hash_of,
                      Equal&& equal) {
  assert(anchors.size() == arena.size() && "one anchor per record");
  const std::size_t n = arena.size();
  InterruptPoints points;
  std::vector<std::uint8_t> per_anchor(n + 1, 0);  // 0, 1, or 2 for more
  for (NodeId id = 0; id < n; ++id) {
    points.tick();
    assert(anchors[id] <= id && "an anchor names an earlier record");
    std::uint8_t& count = per_anchor[anchors[id]];
    count += count < 2 ? 1 : 0;
  }
  const auto crowded = [&](NodeId id) { return per_anchor[anchors[id]] == 2; };
  std::vector<std::uint32_t> cells(n + 1, 0);  // per anchor, 16 counts of 2 bits
  std::vector<std::uint8_t> shifts(n);
  for (NodeId id = 0; id < n; ++id) {
    points.tick();
    if (!crowded(id)) continue;
    const unsigned shift =
        arena.has_nan(id) ? 0 : static_cast<unsigned>(mix_ends(arena.record(id)) >> 60) * 2;
    shifts[id] = static_cast<std::uint8_t>(shift);
    count_in(cells[anchors[id]], shift);
  }
  NodeIds shared;
  for (NodeId id = 0; id < n; ++id) {
    points.tick();
    if (crowded(id) && ((cells[anchors[id]] >> shifts[id]) & 3) > 1) shared.push_back(id);
  }
  InternIndex seen;
  seen.reserve(shared.size(), hash_of);
  for (const NodeId id : shared) {
    points.tick();
    const std::uint64_t hash = hash_of(id);
    const InternIndex::Place place = seen.place_for(hash, [&](NodeId b) { return equal(id, b); });
    if (place.found) return false;
    seen.fill(place, hash, id);
  }
  return true;
}

}  // namespace

std::uint64_t InternedArena::hash_record(std::string_view record, bool has_nan) const {
  return has_nan ? keyed_hash(record::canonical(record), key_) : keyed_hash(record, key_);
}

auto InternedArena::hash_in(const NodeArena& arena) const {
  return [this, &arena](NodeId id) { return hash_record(arena.record(id), arena.has_nan(id)); };
}

auto InternedArena::equal_in(const NodeArena& arena) {
  return [&arena](NodeId a, NodeId b) {
    return same_key(arena.record(a), arena.has_nan(a), arena.record(b), arena.has_nan(b));
  };
}

InternedArena::Probe InternedArena::probe(const NodeArena::Candidate& candidate) const {
  const std::uint64_t hash = hash_record(candidate.record, candidate.has_nan);
  const auto equal = [&](NodeId id) {
    return same_key(arena_.record(id), arena_.has_nan(id), candidate.record, candidate.has_nan);
  };
  return Probe{candidate, hash, index_.find(hash, equal)};
}

template <class Keep>
NodeId InternedArena::find_or_keep(std::string_view record, bool has_nan, Keep&& keep) {
  // Room first, so that one probe finds the key or the slot it goes in, and
  // filling that slot after the record is kept cannot fail.
  reserve_for(1);
  const std::uint64_t hash = hash_record(record, has_nan);
  const InternIndex::Place place = index_.place_for(hash, [&](NodeId id) {
    return same_key(arena_.record(id), arena_.has_nan(id), record, has_nan);
  });
  if (place.found) return *place.found;
  const NodeId id = arena_.size();
  if (id > InternIndex::kMaxId) fail("graph store is full");
  keep();
  index_.fill(place, hash, id);
  return id;
}

NodeId InternedArena::keep_or_drop(const NodeArena::Candidate& candidate) {
  Staged staged(arena_, candidate);
  return find_or_keep(candidate.record, candidate.has_nan, [&] { staged.commit(); });
}

void InternedArena::reserve_for(std::size_t more) {
  ensure_index();
  index_.reserve(arena_.size() + more, hash_in(arena_));
}

void InternedArena::truncate(std::size_t count) {
  if (count >= arena_.size()) return;
  index_.erase_from(count);
  arena_.truncate(count);
}

std::optional<NodeId> InternedArena::find(const NodeKey& key) {
  ensure_index();
  const Staged staged(arena_, arena_.stage(key));
  return probe(staged.candidate()).found;
}

NodeId InternedArena::intern(const NodeKey& key) {
  return keep_or_drop(arena_.stage(key));
}

// The store's recording path: the record is already written, so it is
// looked up where it is and copied in only when new. Flattened, so that
// hashing and the probe are inline.
[[gnu::flatten]] NodeId InternedArena::intern_record(std::string_view record, bool has_nan,
                                                     std::size_t wide) {
  return find_or_keep(record, has_nan, [&] { arena_.append(record, has_nan, wide); });
}

bool InternedArena::adopt_distinct(NodeArena& arena) {
  if (arena.size() > InternIndex::kMaxId) fail("graph store is full");
  InternIndex index;
  if (!index.insert_distinct(arena.size(), hash_in(arena), equal_in(arena))) return false;
  index_ = std::move(index);
  arena_ = std::move(arena);
  indexed_ = true;
  return true;
}

bool InternedArena::adopt_distinct(NodeArena& arena, std::span<const NodeId> anchors) {
  if (arena.size() > InternIndex::kMaxId) fail("graph store is full");
  if (!records_distinct(arena, anchors, hash_in(arena), equal_in(arena))) return false;
  arena_ = std::move(arena);
  indexed_ = arena_.empty();
  return true;
}

void InternedArena::ensure_index() {
  if (indexed_) return;
  InternIndex index;
  if (!index.insert_distinct(arena_.size(), hash_in(arena_), equal_in(arena_))) {
    fail("adopted records are distinct");
  }
  index_ = std::move(index);
  indexed_ = true;
}

}  // namespace zembrik
