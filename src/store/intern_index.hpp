// InternIndex: the store's hash index from key records to ids.
//
// It holds only ids and the top 24 bits of their hashes; the keys themselves
// stay in the arena. Open addressing with linear probing over one flat array
// keeps a lookup to about one cache miss. A slot's home is given by the top
// bits of the hash, so up to 2^24 slots the table regrows from its own hash
// bits without touching the arena.
#pragma once

#include <cstdint>
#include <optional>
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
  // every id was inserted with; it is called when the table grows.
  template <class HashOf>
  void insert(std::uint64_t hash, NodeId id, HashOf&& hash_of) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow(hash_of);
    place(hash, id);
    ++count_;
  }

 private:
  static constexpr int kIdBits = 40;
  static constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kIdBits) - 1;

  static std::uint64_t tag_of(std::uint64_t hash) { return hash >> kIdBits; }

  std::uint64_t home(std::uint64_t hash) const { return hash >> (64 - capacity_bits_); }

  void place(std::uint64_t hash, NodeId id) {
    const std::uint64_t mask = slots_.size() - 1;
    std::uint64_t pos = home(hash);
    while (slots_[pos] != 0) pos = (pos + 1) & mask;
    slots_[pos] = tag_of(hash) << kIdBits | (id + 1);
  }

  template <class HashOf>
  void grow(HashOf&& hash_of) {
    std::vector<std::uint64_t> old = std::move(slots_);
    capacity_bits_ = old.empty() ? 4 : capacity_bits_ + 1;
    slots_.assign(std::uint64_t{1} << capacity_bits_, 0);
    const bool tags_suffice = capacity_bits_ <= 64 - kIdBits;
    for (std::uint64_t slot : old) {
      if (slot == 0) continue;
      const NodeId id = (slot & kIdMask) - 1;
      place(tags_suffice ? (slot >> kIdBits) << kIdBits : hash_of(id), id);
    }
  }

  std::vector<std::uint64_t> slots_;  // 0 = empty, else hash tag << 40 | (id + 1)
  int capacity_bits_ = 0;             // slots_.size() == 1 << capacity_bits_
  std::size_t count_ = 0;
};

}  // namespace zembrik
