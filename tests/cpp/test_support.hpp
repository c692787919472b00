// Small builders the C++ suites share. Each is inline, so a suite that does
// not use one does not link what it needs.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arena/node_arena.hpp"
#include "eqsat/language.hpp"
#include "ir/node_key.hpp"
#include "ir/params.hpp"
#include "ir/token.hpp"
#include "optimizer/engine_graph.hpp"
#include "serialize/blob.hpp"

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

// The blob of `arena` with `outputs`, written as the binding writes one:
// sized first, then into exactly that much room.
inline Result<std::string, BlobTooLarge> serialize_with(const NodeArena& arena,
                                                        std::span<const NodeId> outputs,
                                                        std::uint64_t max_count = kMaxBlobCount) {
  std::string blob(blob_size(arena, outputs), '\0');
  if (Result<void, BlobTooLarge> written = write_blob(arena, outputs, blob, max_count); !written) {
    return written.error();
  }
  return blob;
}

// An EngineGraph of (token, inputs) pairs; equal tokens share one index.
inline EngineGraph graph_of(const std::vector<std::pair<std::string, std::vector<EngineId>>>& nodes,
                            std::vector<EngineId> outputs) {
  EngineGraph g;
  for (const auto& [token, inputs] : nodes) {
    std::uint32_t index = 0;
    while (index < g.tokens.size() && g.tokens[index] != token) ++index;
    if (index == g.tokens.size()) g.tokens.push_back(token);
    g.add_node(index, inputs, !is_op_token(token));
  }
  g.outputs = std::move(outputs);
  return g;
}

namespace eqsat {

inline SymbolLang node(std::string_view op, std::initializer_list<Id> children = {}) {
  return SymbolLang(GlobalSymbol(op), children);
}

}  // namespace eqsat
}  // namespace zembrik
