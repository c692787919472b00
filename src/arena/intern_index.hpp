// InternIndex: the store's hash index from key records to ids.
//
// It holds only ids and the top 24 bits of their hashes; the keys themselves
// stay in the arena. One flat probing table (base/probe_table.hpp) keeps a
// lookup to about one cache miss, and since a slot's home is given by the
// top bits of the hash, up to 2^24 slots the table regrows from its own hash
// bits without touching the arena.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/interrupt.hpp"
#include "base/page_allocator.hpp"
#include "base/probe_table.hpp"
#include "ir/node_key.hpp"

namespace zembrik {

class InternIndex {
 public:
  // Ids take the low 40 bits of a slot; no store grows that large in memory.
  static constexpr std::uint64_t kMaxId = (std::uint64_t{1} << 40) - 2;

  std::size_t size() const { return table_.size(); }

  // The id among those inserted with `hash` for which `equal(id)` holds.
  template <class Equal>
  std::optional<NodeId> find(std::uint64_t hash, Equal&& equal) const {
    const Slot* slot = table_.find(hash, [&](Slot s) { return s.matches(hash) && equal(s.id()); });
    if (slot == nullptr) return std::nullopt;
    return slot->id();
  }

  // Where a lookup that adds on a miss stands after its one probe: the id
  // found, or the empty slot the new id goes in (with fill).
  struct Place {
    std::size_t at;
    std::optional<NodeId> found;
  };
  // Needs room for one more id (reserve), so that a miss has its slot.
  template <class Equal>
  Place place_for(std::uint64_t hash, Equal&& equal) const {
    const std::size_t at =
        table_.probe(hash, [&](Slot s) { return s.matches(hash) && equal(s.id()); });
    const Slot& slot = table_[at];
    return Place{at, slot.occupied() ? std::optional<NodeId>(slot.id()) : std::nullopt};
  }
  // Puts `id` in the slot a missing place_for returned; allocates nothing.
  void fill(const Place& place, std::uint64_t hash, NodeId id) {
    table_.fill(place.at, Slot::of(hash, id));
  }

  // Adds `id`, which must not be present. `hash_of(id)` must give the hash
  // every id was inserted with; it is called when the table grows. A failed
  // allocation leaves the index as it was.
  template <class HashOf>
  void insert(std::uint64_t hash, NodeId id, HashOf&& hash_of) {
    reserve(size() + 1, hash_of);
    insert_reserved(hash, id);
  }
  // The same into room that reserve made; allocates nothing.
  void insert_reserved(std::uint64_t hash, NodeId id) { table_.place(hash, Slot::of(hash, id)); }

  // Makes room for `total` ids without growing again. A failed allocation
  // leaves the index as it was.
  template <class HashOf>
  void reserve(std::uint64_t total, HashOf&& hash_of) {
    if (table_.has_room(total)) return;
    const bool tags_suffice = tags_give_home(Table::bits_for(total));
    table_.reserve(total, [&](Slot s) { return tags_suffice ? s.tag_hash() : hash_of(s.id()); });
  }

  // Takes out every id from `first` on, which must all have been inserted
  // since the index last grew. Allocates nothing, so a failed batch of
  // inserts can always be undone.
  void erase_from(NodeId first) {
    assert(first >= table_.rebuilt_with() && "erase_from reaches ids placed by a growth");
    table_.erase_newest([&](Slot s) { return s.id() >= first; });
  }

  // Fills an empty index with ids 0..n-1, `hash_of(id)` giving each one's
  // hash, in the order of their home slots, so that the table is written
  // front to back instead of taking a cache miss per id. Returns false as
  // soon as `equal(a, b)` holds for two of the ids; the index is then left
  // empty.
  template <class HashOf, class Equal>
  bool insert_distinct(std::uint64_t n, HashOf&& hash_of, Equal&& equal) {
    assert(table_.empty() && "insert_distinct fills an empty index");
    if (n == 0) return true;
    return table_.rebuild(n, [&](Table& fresh) {
      // Slot values hold the top hash bits, which up to 2^24 slots are the
      // home; beyond that the order is still nearly by home and the full
      // hash is computed again.
      const bool tags_suffice = tags_give_home(fresh.bits());
      InterruptPoints points;
      for (const Slot slot : by_tag(n, hash_of)) {
        points.tick();
        const NodeId id = slot.id();
        const std::uint64_t hash = tags_suffice ? slot.tag_hash() : hash_of(id);
        // One probe finds an equal id or the slot this one goes in.
        const std::size_t at =
            fresh.probe(hash, [&](Slot s) { return s.matches(hash) && equal(s.id(), id); });
        if (fresh[at].occupied()) return false;
        fresh.fill(at, slot);
      }
      return true;
    });
  }

 private:
  static constexpr int kIdBits = 40;
  static constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kIdBits) - 1;

  // 0 = empty, else the top 24 hash bits << 40 | (id + 1). Up to 2^24 slots
  // those bits are the whole home, so the index regrows from its own slots
  // without touching the arena.
  struct Slot {
    std::uint64_t bits = 0;

    static Slot of(std::uint64_t hash, NodeId id) {
      return Slot{(hash >> kIdBits) << kIdBits | (id + 1)};
    }
    bool occupied() const { return bits != 0; }
    NodeId id() const { return (bits & kIdMask) - 1; }
    std::uint64_t tag_hash() const { return bits & ~kIdMask; }
    bool matches(std::uint64_t hash) const { return (bits >> kIdBits) == (hash >> kIdBits); }
  };
  // Mapped when large: the index doubles as the store grows (PageAllocator).
  using Table = ProbeTable<Slot, 4, PageAllocator<Slot>>;

  static bool tags_give_home(int bits) { return bits <= 64 - kIdBits; }

  // The slots of ids 0..n-1 ordered by their hash tags: a
  // least-significant-digit radix sort, eight bits a pass, which reads and
  // writes sequentially.
  template <class HashOf>
  static std::vector<Slot> by_tag(std::uint64_t n, HashOf&& hash_of) {
    constexpr int kDigitBits = 8;
    std::vector<Slot> order(n);
    InterruptPoints points;
    for (NodeId id = 0; id < n; ++id) {
      points.tick();
      order[id] = Slot::of(hash_of(id), id);
    }
    std::vector<Slot> scratch(n);
    for (int low = kIdBits; low < 64; low += kDigitBits) {
      const auto digit = [&](Slot slot) {
        return (slot.bits >> low) & ((std::uint64_t{1} << kDigitBits) - 1);
      };
      std::vector<std::size_t> start(std::size_t{1} << kDigitBits, 0);
      for (const Slot slot : order) ++start[digit(slot)];
      std::size_t total = 0;
      for (std::size_t& count : start) total += std::exchange(count, total);
      for (const Slot slot : order) scratch[start[digit(slot)]++] = slot;
      order.swap(scratch);
    }
    return order;
  }

  Table table_;
};

}  // namespace zembrik
