// FlatMap: an open-addressing hash map with linear probing, for the hot
// tables of the engine (the hash-cons, the symbol index). Entries are never
// removed one by one, which keeps probing free of tombstones. Iteration is
// deliberately not offered: no result may depend on a table's layout.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zembrik::eqsat {

template <class Key, class Value, class Hash, class Equal = std::equal_to<Key>>
class FlatMap {
 public:
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }

  const Value* find(const Key& key) const {
    if (size_ == 0) return nullptr;
    const std::size_t at = probe(key, Hash{}(key));
    return slots_[at].tag != 0 ? &slots_[at].value : nullptr;
  }
  Value* find(const Key& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }

  // Inserts key -> value unless the key is present; returns the stored value
  // and whether the insertion happened.
  std::pair<Value*, bool> try_emplace(Key key, Value value) {
    reserve(size_ + 1);
    const std::uint64_t hash = Hash{}(key);
    Slot& slot = slots_[probe(slots_, shift_, key, hash)];
    if (slot.tag != 0) return {&slot.value, false};
    slot = Slot{tag_of(hash), std::move(value), std::move(key)};
    ++size_;
    return {&slot.value, true};
  }

  // Makes room for `count` entries, keeping the table at most 3/4 full, so
  // that inserting up to that many allocates nothing. A failed allocation
  // leaves the map as it was.
  void reserve(std::size_t count) {
    if (count * 4 <= slots_.size() * 3) return;
    std::size_t capacity = slots_.empty() ? 16 : slots_.size();
    while (count * 4 > capacity * 3) capacity *= 2;
    rehash(capacity);
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;  // 0 marks an empty slot
    Value value{};
    Key key{};
  };

  static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash) | 1u; }

  // The slot holding `key`, or the empty slot where it belongs.
  static std::size_t probe(const std::vector<Slot>& slots, unsigned shift, const Key& key,
                           std::uint64_t hash) {
    const std::size_t mask = slots.size() - 1;
    const std::uint32_t tag = tag_of(hash);
    std::size_t at = static_cast<std::size_t>(hash >> shift);
    while (slots[at].tag != 0) {
      if (slots[at].tag == tag && Equal{}(slots[at].key, key)) return at;
      at = (at + 1) & mask;
    }
    return at;
  }
  std::size_t probe(const Key& key, std::uint64_t hash) const {
    return probe(slots_, shift_, key, hash);
  }

  // Builds the new table beside the old one, so that a failed allocation
  // changes nothing. Keys and values must move without throwing.
  void rehash(std::size_t capacity) {
    assert((capacity & (capacity - 1)) == 0 && "capacity must be a power of two");
    std::vector<Slot> fresh(capacity);
    unsigned shift = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift;
    for (Slot& slot : slots_) {
      if (slot.tag == 0) continue;
      fresh[probe(fresh, shift, slot.key, Hash{}(slot.key))] = std::move(slot);
    }
    slots_.swap(fresh);
    shift_ = shift;
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  unsigned shift_ = 64;  // slot index = hash >> shift_
};

}  // namespace zembrik::eqsat
