#include "eqsat/hash_cons.hpp"

#include <cassert>

namespace zembrik::eqsat {

std::size_t HashCons::probe(const SymbolLang& key, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint32_t tag = tag_of(hash);
  std::size_t at = home_of(hash);
  while (slots_[at].tag != 0) {
    if (slots_[at].tag == tag && keys_[slots_[at].position] == key) return at;
    at = (at + 1) & mask;
  }
  return at;
}

const Id* HashCons::find(const SymbolLang& key) const {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[probe(key, hash_of(key))];
  return slot.tag == 0 ? nullptr : &ids_[slot.position];
}

std::pair<HashCons::Position, bool> HashCons::try_emplace(SymbolLang key, Id id,
                                                          std::uint64_t hash) {
  // At most three quarters full, which keeps probe runs short.
  if ((keys_.size() + 1) * 4 > slots_.size() * 3) grow();
  Slot& slot = slots_[probe(key, hash)];
  if (slot.tag != 0) return {slot.position, false};
  const auto position = static_cast<Position>(keys_.size());
  keys_.push_back(std::move(key));
  ids_.push_back(id);
  hashes_.push_back(hash);
  slot = Slot{tag_of(hash), position};
  return {position, true};
}

std::optional<Id> HashCons::insert_or_assign(SymbolLang key, Id id) {
  const auto [position, inserted] = try_emplace(std::move(key), id);
  if (inserted) return std::nullopt;
  return std::exchange(ids_[position], id);
}

void HashCons::grow() {
  const std::size_t capacity = slots_.empty() ? 1024 : slots_.size() * 2;
  slots_.assign(capacity, Slot{});
  shift_ = 64;
  for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
  const std::size_t mask = capacity - 1;
  // Slots are written at random; fetching a few keys ahead hides the misses.
  constexpr Position kAhead = 16;
  for (Position position = 0; position < keys_.size(); ++position) {
    if (position + kAhead < keys_.size()) {
      __builtin_prefetch(&slots_[home_of(hashes_[position + kAhead])], 1);
    }
    const std::uint64_t hash = hashes_[position];
    std::size_t at = home_of(hash);
    while (slots_[at].tag != 0) at = (at + 1) & mask;  // keys are distinct
    slots_[at] = Slot{tag_of(hash), position};
  }
}

}  // namespace zembrik::eqsat
