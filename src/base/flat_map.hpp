// FlatMap: a hash map over one probing table (base/probe_table.hpp), for hot
// tables such as the symbol index. Each slot holds its key and value beside
// a 32-bit tag from the hash, so a lookup compares keys only when the tags
// agree. Entries are never removed one by one, which keeps probing free of
// tombstones. Iteration is deliberately not offered: no result may depend on
// a table's layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

#include "base/probe_table.hpp"

namespace zembrik {

template <class Key, class Value, class Hash, class Equal = std::equal_to<Key>>
class FlatMap {
 public:
  [[nodiscard]] std::size_t size() const { return table_.size(); }
  [[nodiscard]] bool empty() const { return table_.empty(); }

  const Value* find(const Key& key) const {
    if (table_.empty()) return nullptr;  // spares the hash
    const std::uint64_t hash = Hash{}(key);
    const Slot& slot = table_[table_.probe(hash, holding(key, hash))];
    return slot.occupied() ? &slot.value : nullptr;
  }
  Value* find(const Key& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }

  // Inserts key -> value unless the key is present; returns the stored value
  // and whether the insertion happened.
  std::pair<Value*, bool> try_emplace(Key key, Value value) {
    reserve(size() + 1);
    const std::uint64_t hash = Hash{}(key);
    const std::size_t at = table_.probe(hash, holding(key, hash));
    if (table_[at].occupied()) return {&table_[at].value, false};
    table_.fill(at, Slot{tag_of(hash), std::move(value), std::move(key)});
    return {&table_[at].value, true};
  }

  // Makes room for `count` entries, so that inserting up to that many
  // allocates nothing. A failed allocation leaves the map as it was. Keys
  // and values must move without throwing, and hashing a key must not throw.
  void reserve(std::size_t count) {
    table_.reserve(count, [](const Slot& slot) { return Hash{}(slot.key); });
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;  // 0 marks an empty slot
    Value value{};
    Key key{};

    bool occupied() const { return tag != 0; }
  };

  static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash) | 1u; }

  static auto holding(const Key& key, std::uint64_t hash) {
    return [&key, tag = tag_of(hash)](const Slot& slot) {
      return slot.tag == tag && Equal{}(slot.key, key);
    };
  }

  ProbeTable<Slot> table_;
};

}  // namespace zembrik
