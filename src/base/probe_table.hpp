// ProbeTable: the open-addressing core under the hash tables of the store and
// the engine (InternIndex, FlatMap, HashCons). It owns the slot array and
// decides where a hash's probe run starts, how full the table may get and how
// it grows; what a slot holds, when a slot matches a key and where the hashes
// of a growing table come from are left to the typed front above it.
//
//   struct Slot {
//     std::uint32_t tag = 0;  // Slot{} is empty
//     std::uint32_t at = 0;
//     bool occupied() const { return tag != 0; }
//   };
//   ProbeTable<Slot> table;
//   table.reserve(table.size() + 1, [&](const Slot& s) { return hash_at(s.at); });
//   const std::size_t i = table.probe(hash, [&](const Slot& s) { return same(s, key); });
//   if (!table[i].occupied()) table.fill(i, Slot{tag, at});
//
// A slot's home is given by the top bits of its hash, so hashes must be well
// mixed there; runs are probed linearly and the table stays at most three
// quarters full, which keeps them short. Entries are never removed one by
// one, so probing needs no tombstones; only the newest entries can be taken
// out together. Iteration is deliberately not offered: no result may depend
// on a table's layout.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zembrik {

template <class Slot, int kFirstBits = 4, class Allocator = std::allocator<Slot>>
class ProbeTable {
  static_assert(kFirstBits > 0 && kFirstBits < 64, "a table has 2^kFirstBits slots at first");

 public:
  [[nodiscard]] std::size_t size() const { return count_; }
  [[nodiscard]] bool empty() const { return count_ == 0; }
  [[nodiscard]] std::size_t slot_count() const { return slots_.size(); }
  // slot_count() == 2^bits(), or 0 before the first slot is allocated.
  [[nodiscard]] int bits() const { return slots_.empty() ? 0 : 64 - shift_; }

  [[nodiscard]] bool has_room(std::size_t total) const { return total * 4 <= slots_.size() * 3; }

  // The bits of a table grown to hold `total` entries: never fewer than
  // kFirstBits, since tiny tables would regrow at once.
  [[nodiscard]] static int bits_for(std::size_t total) {
    int bits = kFirstBits;
    while (total * 4 > (std::size_t{1} << bits) * 3) ++bits;
    return bits;
  }

  [[nodiscard]] std::size_t home(std::uint64_t hash) const {
    assert(!slots_.empty() && "an unallocated table has no home slots");
    return static_cast<std::size_t>(hash >> shift_);
  }

  // The first slot of `hash`'s probe run that is empty or for which
  // `match(slot)` holds. The table must have slots.
  template <class Match>
  [[nodiscard]] std::size_t probe(std::uint64_t hash, Match&& match) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = home(hash);
    while (slots_[at].occupied() && !match(slots_[at])) at = (at + 1) & mask;
    return at;
  }

  // The occupied slot on `hash`'s run for which `match(slot)` holds, or nullptr.
  template <class Match>
  [[nodiscard]] const Slot* find(std::uint64_t hash, Match&& match) const {
    if (count_ == 0) return nullptr;
    const Slot& slot = slots_[probe(hash, match)];
    return slot.occupied() ? &slot : nullptr;
  }

  Slot& operator[](std::size_t at) { return slots_[at]; }
  const Slot& operator[](std::size_t at) const { return slots_[at]; }

  // Writes an occupied `slot` into the empty slot `at` that probe returned,
  // in room that reserve made; allocates nothing.
  void fill(std::size_t at, Slot slot) {
    assert(!slots_[at].occupied() && "fill writes an empty slot");
    assert(slot.occupied() && "fill writes an entry");
    assert(has_room(count_ + 1) && "reserve made room");
    slots_[at] = std::move(slot);
    ++count_;
  }

  // Adds an entry known to be absent, in room that reserve made.
  void place(std::uint64_t hash, Slot slot) {
    fill(probe(hash, [](const Slot&) { return false; }), std::move(slot));
  }

  // Makes room for `total` entries, so that adding up to that many allocates
  // nothing. `hash_of(slot)` gives a hash whose top bits_for(total) bits are
  // those the slot's entry was added with. A failed allocation leaves the
  // table as it was; so does a throwing hash_of, as long as moving a slot
  // leaves it intact (trivially copyable slots).
  template <class HashOf>
  void reserve(std::size_t total, HashOf&& hash_of) {
    if (!has_room(total)) grow(total, hash_of);
  }

  // Replaces the table by a fresh one with room for `total` entries that
  // `fill(fresh)` adds; it returns false to give up. The fresh table is built
  // beside this one, so a failed allocation, a throwing fill or giving up
  // leaves this table as it was. Returns whether the table was replaced.
  template <class Fill>
  bool rebuild(std::size_t total, Fill&& fill) {
    ProbeTable fresh;
    const int bits = bits_for(total);
    fresh.slots_.resize(std::size_t{1} << bits);
    fresh.shift_ = 64 - bits;
    if (!fill(fresh)) return false;
    fresh.rebuilt_with_ = fresh.count_;
    *this = std::move(fresh);
    return true;
  }

  // How many entries the table held when it was last rebuilt. Those sit
  // wherever the rebuild put them, so only entries added after them can be
  // taken out again (erase_newest).
  [[nodiscard]] std::size_t rebuilt_with() const { return rebuilt_with_; }

  // Empties every slot for which `doomed(slot)` holds. They must be the
  // entries added last, all since the table was last rebuilt: clearing them
  // then leaves exactly the table they were added to, because no earlier
  // entry's probe run crosses a slot that was empty when that entry went in.
  // Allocates nothing, so a failed batch of additions can always be undone.
  template <class Doomed>
  void erase_newest(Doomed&& doomed) {
    for (Slot& slot : slots_) {
      if (slot.occupied() && doomed(std::as_const(slot))) {
        slot = Slot{};
        --count_;
      }
    }
    assert(count_ >= rebuilt_with_ && "erase_newest reaches entries placed by a rebuild");
  }

  // Starts fetching the home slot of `hash`, for a lookup or an addition soon.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(hash)]);
  }
  void prefetch_for_write(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(hash)], 1);
  }

 private:
  // Out of line: the hot paths that may grow stay small.
  template <class HashOf>
  [[gnu::noinline]] void grow(std::size_t total, HashOf& hash_of) {
    rebuild(total, [&](ProbeTable& fresh) {
      for (Slot& slot : slots_) {
        if (!slot.occupied()) continue;
        const std::uint64_t hash = hash_of(std::as_const(slot));  // before the move
        fresh.place(hash, std::move(slot));
      }
      return true;
    });
  }

  std::vector<Slot, Allocator> slots_;  // Slot{} marks an empty slot
  int shift_ = 64;                      // a home is hash >> shift_; 64 while there are no slots
  std::size_t count_ = 0;
  std::size_t rebuilt_with_ = 0;
};

}  // namespace zembrik
