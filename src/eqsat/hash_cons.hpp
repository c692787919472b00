// HashCons: the e-graph's map from node to id (its `memo`).
//
// Keys sit densely in order of insertion, and the probing table
// (base/probe_table.hpp) holds only a 32-bit hash tag and a key position per
// slot. Looking up a node that is not there, the common case while a graph
// is being added, touches one 8-byte slot and no key; growing the table
// reads the keys' hashes in order. Entries are never removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "base/chunked_vector.hpp"
#include "base/probe_table.hpp"
#include "eqsat/language.hpp"

namespace zembrik::eqsat {

class HashCons {
 public:
  using Position = std::uint32_t;

  [[nodiscard]] std::size_t size() const { return keys_.size(); }

  static std::uint64_t hash_of(const SymbolLang& key) { return SymbolLangHash{}(key); }

  // The id stored for `key`, or nullptr.
  [[nodiscard]] const Id* find(const SymbolLang& key) const;

  // Stores key -> id unless the key is present. Returns the key's position
  // and whether it was inserted. `hash` must be hash_of(key).
  std::pair<Position, bool> try_emplace(SymbolLang key, Id id, std::uint64_t hash);
  std::pair<Position, bool> try_emplace(SymbolLang key, Id id) {
    const std::uint64_t hash = hash_of(key);
    return try_emplace(std::move(key), id, hash);
  }

  // Stores key -> id, replacing a present id, which is returned.
  std::optional<Id> insert_or_assign(SymbolLang key, Id id);

  [[nodiscard]] const SymbolLang& key_at(Position position) const { return keys_[position]; }
  // Starts fetching the slot where a lookup of a key with `hash` begins.
  void prefetch(std::uint64_t hash) const { table_.prefetch(hash); }
  [[nodiscard]] Id id_at(Position position) const { return ids_[position]; }

 private:
  struct Slot {
    std::uint32_t tag = 0;  // 0 marks an empty slot
    Position position = 0;

    bool occupied() const { return tag != 0; }
  };
  // 1024 slots at first: an e-graph holds a whole graph, so smaller tables
  // would only regrow.
  using Table = ProbeTable<Slot, 10>;

  static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash) | 1u; }
  // The slot holding `key`, or the empty slot where it belongs.
  [[nodiscard]] std::size_t probe(const SymbolLang& key, std::uint64_t hash) const;
  void grow();

  Table table_;
  ChunkedVector<SymbolLang> keys_;
  ChunkedVector<Id> ids_;
  // Kept so that growing never hashes a key again: the hash is keyed, and
  // costs more than reading it back.
  ChunkedVector<std::uint64_t> hashes_;
};

}  // namespace zembrik::eqsat
