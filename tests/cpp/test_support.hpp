// Small builders the C++ suites share. Each is inline, so a suite that does
// not use one does not link what it needs.
#pragma once

#include <initializer_list>
#include <string_view>
#include <vector>

#include "arena/node_arena.hpp"
#include "eqsat/language.hpp"
#include "ir/node_key.hpp"
#include "ir/params.hpp"

namespace zembrik {

// A map of one parameter.
inline ParamMap one(const char* key, ParamValue value) {
  return ParamMap::from_entries({{key, std::move(value)}});
}

// The parameters of an identity-rule scalar operation: {scalar, side}.
inline ParamMap scalar(double value, const char* side) {
  return ParamMap::from_entries(
      {{"scalar", ParamValue::Float(value)}, {"side", ParamValue::Str(side)}});
}

// An arena of `keys` in order, without interning: equal keys stay apart.
inline NodeArena arena_of(const std::vector<NodeKey>& keys) {
  NodeArena arena;
  for (const NodeKey& key : keys) arena.commit(arena.stage(key));
  return arena;
}

namespace eqsat {

inline SymbolLang node(std::string_view op, std::initializer_list<Id> children = {}) {
  return SymbolLang(GlobalSymbol(op), children);
}

}  // namespace eqsat
}  // namespace zembrik
