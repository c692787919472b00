#include "eqsat/hash_cons.hpp"

namespace zembrik::eqsat {

std::size_t HashCons::probe(const SymbolLang& key, std::uint64_t hash) const {
  const std::uint32_t tag = tag_of(hash);
  return table_.probe(
      hash, [&](const Slot& slot) { return slot.tag == tag && keys_[slot.position] == key; });
}

const Id* HashCons::find(const SymbolLang& key) const {
  if (table_.empty()) return nullptr;
  const Slot& slot = table_[probe(key, hash_of(key))];
  return slot.occupied() ? &ids_[slot.position] : nullptr;
}

std::pair<HashCons::Position, bool> HashCons::try_emplace(SymbolLang key, Id id,
                                                          std::uint64_t hash) {
  if (!table_.has_room(keys_.size() + 1)) grow();
  const std::size_t at = probe(key, hash);
  if (table_[at].occupied()) return {table_[at].position, false};
  const auto position = static_cast<Position>(keys_.size());
  keys_.push_back(std::move(key));
  ids_.push_back(id);
  hashes_.push_back(hash);
  table_.fill(at, Slot{tag_of(hash), position});
  return {position, true};
}

std::optional<Id> HashCons::insert_or_assign(SymbolLang key, Id id) {
  const auto [position, inserted] = try_emplace(std::move(key), id);
  if (inserted) return std::nullopt;
  return std::exchange(ids_[position], id);
}

void HashCons::grow() {
  table_.rebuild(keys_.size() + 1, [&](Table& fresh) {
    // Keys are read in order and slots written at random; fetching a few
    // slots ahead hides the misses.
    constexpr Position kAhead = 16;
    for (Position position = 0; position < keys_.size(); ++position) {
      if (position + kAhead < keys_.size()) fresh.prefetch_for_write(hashes_[position + kAhead]);
      const std::uint64_t hash = hashes_[position];
      fresh.place(hash, Slot{tag_of(hash), position});  // keys are distinct
    }
    return true;
  });
}

}  // namespace zembrik::eqsat
