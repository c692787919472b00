// InternIndex: the store's hash index from key records to ids.
//
// It holds only ids and the top 24 bits of their hashes; the keys themselves
// stay in the arena. Open addressing with linear probing over one flat array
// keeps a lookup to about one cache miss. A slot's home is given by the top
// bits of the hash, so up to 2^24 slots the table regrows from its own hash
// bits without touching the arena.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "ir/node_key.hpp"

namespace zembrik {

class InternIndex {
 public:
  // Ids take the low 40 bits of a slot; no store grows that large in memory.
  static constexpr std::uint64_t kMaxId = (std::uint64_t{1} << 40) - 2;

  std::size_t size() const { return count_; }

  // The id among those inserted with `hash` for which `equal(id)` holds.
  template <class Equal>
  std::optional<NodeId> find(std::uint64_t hash, Equal&& equal) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t pos = home(hash);; pos = (pos + 1) & mask) {
      const std::uint64_t slot = slots_[pos];
      if (slot == 0) return std::nullopt;
      if ((slot >> kIdBits) == tag_of(hash) && equal((slot & kIdMask) - 1)) {
        return (slot & kIdMask) - 1;
      }
    }
  }

  // Adds `id`, which must not be present. `hash_of(id)` must give the hash
  // every id was inserted with; it is called when the table grows. A failed
  // allocation leaves the index as it was.
  template <class HashOf>
  void insert(std::uint64_t hash, NodeId id, HashOf&& hash_of) {
    reserve(count_ + 1, hash_of);
    insert_reserved(hash, id);
  }
  // The same into room that reserve made; allocates nothing.
  void insert_reserved(std::uint64_t hash, NodeId id) {
    assert((count_ + 1) * 4 <= slots_.size() * 3 && "reserve made room");
    place(slots_, capacity_bits_, hash, id);
    ++count_;
  }

  // Makes room for `total` ids without growing again. A failed allocation
  // leaves the index as it was.
  template <class HashOf>
  void reserve(std::uint64_t total, HashOf&& hash_of) {
    if (total * 4 <= slots_.size() * 3) return;
    int bits = capacity_bits_ == 0 ? 4 : capacity_bits_ + 1;
    while (total * 4 > (std::uint64_t{1} << bits) * 3) ++bits;
    std::vector<std::uint64_t> fresh(std::uint64_t{1} << bits, 0);
    const bool tags_suffice = bits <= 64 - kIdBits;
    for (const std::uint64_t slot : slots_) {
      if (slot == 0) continue;
      const NodeId id = (slot & kIdMask) - 1;
      place(fresh, bits, tags_suffice ? (slot >> kIdBits) << kIdBits : hash_of(id), id);
    }
    slots_.swap(fresh);
    capacity_bits_ = bits;
    // Ids placed by a growth sit wherever the old layout put them, so only
    // ids inserted after it can be taken out again (erase_from).
    erasable_from_ = count_;
  }

  // Takes out every id from `first` on, which must all have been inserted
  // since the index last grew: then clearing their slots leaves exactly the
  // table they were inserted into, because no earlier id's probe run crosses
  // a slot that was empty when that id went in. Allocates nothing, so a
  // failed batch of inserts can always be undone.
  void erase_from(NodeId first) {
    assert(first >= erasable_from_ && "erase_from reaches ids placed by a growth");
    for (std::uint64_t& slot : slots_) {
      if (slot != 0 && (slot & kIdMask) - 1 >= first) {
        slot = 0;
        --count_;
      }
    }
  }

  // Fills an empty index with ids 0..n-1, `hash_of(id)` giving each one's
  // hash, in the order of their home slots, so that the table is written
  // front to back instead of taking a cache miss per id. Returns false as
  // soon as `equal(a, b)` holds for two of the ids; the index is then
  // unusable.
  template <class HashOf, class Equal>
  bool insert_distinct(std::uint64_t n, HashOf&& hash_of, Equal&& equal) {
    assert(count_ == 0 && "insert_distinct fills an empty index");
    if (n == 0) return true;
    capacity_bits_ = 4;
    while (n * 4 > (std::uint64_t{1} << capacity_bits_) * 3) ++capacity_bits_;
    slots_.assign(std::uint64_t{1} << capacity_bits_, 0);
    // Slot values hold the top hash bits, which up to 2^24 slots are the
    // home; beyond that the order is still nearly by home and the full hash
    // is computed again.
    const bool tags_suffice = capacity_bits_ <= 64 - kIdBits;
    for (const std::uint64_t value : by_tag(n, hash_of)) {
      const NodeId id = (value & kIdMask) - 1;
      const std::uint64_t hash = tags_suffice ? (value >> kIdBits) << kIdBits : hash_of(id);
      if (find(hash, [&](NodeId other) { return equal(other, id); })) return false;
      place(slots_, capacity_bits_, hash, id);
      ++count_;
    }
    erasable_from_ = n;
    return true;
  }

 private:
  static constexpr int kIdBits = 40;
  static constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kIdBits) - 1;

  static std::uint64_t tag_of(std::uint64_t hash) { return hash >> kIdBits; }

  std::uint64_t home(std::uint64_t hash) const { return hash >> (64 - capacity_bits_); }

  static void place(std::vector<std::uint64_t>& slots, int bits, std::uint64_t hash, NodeId id) {
    const std::uint64_t mask = slots.size() - 1;
    std::uint64_t pos = hash >> (64 - bits);
    while (slots[pos] != 0) pos = (pos + 1) & mask;
    slots[pos] = tag_of(hash) << kIdBits | (id + 1);
  }

  // The slot values of ids 0..n-1 ordered by their hash tags: a
  // least-significant-digit radix sort, eight bits a pass, which reads and
  // writes sequentially.
  template <class HashOf>
  static std::vector<std::uint64_t> by_tag(std::uint64_t n, HashOf&& hash_of) {
    constexpr int kDigitBits = 8;
    std::vector<std::uint64_t> order(n);
    for (NodeId id = 0; id < n; ++id) order[id] = tag_of(hash_of(id)) << kIdBits | (id + 1);
    std::vector<std::uint64_t> scratch(n);
    for (int low = kIdBits; low < 64; low += kDigitBits) {
      const auto digit = [&](std::uint64_t value) {
        return (value >> low) & ((std::uint64_t{1} << kDigitBits) - 1);
      };
      std::vector<std::size_t> start(std::size_t{1} << kDigitBits, 0);
      for (const std::uint64_t value : order) ++start[digit(value)];
      std::size_t total = 0;
      for (std::size_t& count : start) total += std::exchange(count, total);
      for (const std::uint64_t value : order) scratch[start[digit(value)]++] = value;
      order.swap(scratch);
    }
    return order;
  }

  std::vector<std::uint64_t> slots_;  // 0 = empty, else hash tag << 40 | (id + 1)
  int capacity_bits_ = 0;             // slots_.size() == 1 << capacity_bits_
  std::size_t count_ = 0;
  NodeId erasable_from_ = 0;  // ids below it may have been moved by a growth
};

}  // namespace zembrik
