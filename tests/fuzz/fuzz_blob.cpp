// Fuzzes deserialize, which reads untrusted blob bytes. Beyond not crashing,
// an accepted blob must behave like any store: written again it reads back
// to the same bytes and DOT text, the tokens of its ops parse back, and a
// small store reduces and cuts to the same result whichever copy is used
// (the two copies hash with different seeds).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "ir/token.hpp"
#include "optimizer/direct_engine.hpp"
#include "optimizer/reduced_graph.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"
#include "store/dot.hpp"

namespace zembrik {
namespace {

// Reduction is the slow part; beyond this many nodes only reading is fuzzed.
constexpr std::size_t kMaxReducedNodes = 64;

std::string blob_of(const Graph& store) {
  std::string blob(blob_size(store.arena(), store.outputs()), '\0');
  FUZZ_REQUIRE(write_blob(store.arena(), store.outputs(), blob).ok());
  return blob;
}

// Written, read and written again: the same bytes, and nothing lost.
std::string check_round_trip(const Graph& store) {
  const std::string blob = blob_of(store);
  Result<Graph, BlobError> again = deserialize(blob);
  FUZZ_REQUIRE(again.ok());
  FUZZ_REQUIRE(again.value().node_count() == store.node_count());
  FUZZ_REQUIRE(again.value().outputs() == store.outputs());
  FUZZ_REQUIRE(blob_of(again.value()) == blob);
  FUZZ_REQUIRE(to_dot(again.value()) == to_dot(store));
  return blob;
}

// The token of an Op or Reduction, whatever its name and parameters, parses
// back to them; stage members may hold any text and only must not crash.
void check_texts(const Graph& store) {
  const NodeArena arena = store.snapshot().arena;
  for (std::size_t i = 0; i < arena.size(); ++i) {
    const NodeKey key = arena.key(i);
    (void)label(key);
    const std::string text = token(key);
    if (const auto* stage = std::get_if<Stage>(&key)) {
      (void)member_views(*stage);
    } else if (tag_of(key) == NodeTag::Op || tag_of(key) == NodeTag::Reduction) {
      const std::optional<OpToken> parsed = parse_op_token(text);
      FUZZ_REQUIRE(parsed.has_value());
      FUZZ_REQUIRE(parsed->name == name_of(key));
      FUZZ_REQUIRE(parsed->params == *params_of(key));
    }
  }
}

void check_reductions(const Graph& store, const Graph& copy) {
  static const DirectEngine engine;
  // The reference: saturation to the fixed point must agree with the direct
  // engine on any graph, however it was crafted.
  static const SaturationEngine reference(SaturationLimits::none());
  for (const bool maximal_fusion : {false, true}) {
    const ReducedGraph reduced = reduce_with(store.snapshot(), engine, maximal_fusion);
    FUZZ_REQUIRE(reduced.report.input_nodes == store.node_count());
    FUZZ_REQUIRE(reduced.graph.node_map().size() == store.node_count());
    const std::string blob = check_round_trip(reduced.graph);
    FUZZ_REQUIRE(blob_of(reduce_with(copy.snapshot(), engine, maximal_fusion).graph) == blob);
    const ReducedGraph saturated = reduce_with(store.snapshot(), reference, maximal_fusion);
    FUZZ_REQUIRE(blob_of(saturated.graph) == blob);
    FUZZ_REQUIRE(saturated.graph.node_map() == reduced.graph.node_map());
    FUZZ_REQUIRE(saturated.report == reduced.report);
  }
  const std::vector<NodeId> outputs = store.outputs();
  Result<Graph, BadNodeId> cut = cone(store.arena(), outputs);
  FUZZ_REQUIRE(cut.ok());
  FUZZ_REQUIRE(cut.value().outputs().size() == outputs.size());  // a cone maps ids one to one
  FUZZ_REQUIRE(cut.value().node_map().size() == store.node_count());
  check_round_trip(cut.value());
}

}  // namespace
}  // namespace zembrik

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zembrik;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Result<Graph, BlobError> store = deserialize(bytes);
  if (!store) {
    (void)store.error().message();
    return 0;
  }
  const std::string blob = check_round_trip(store.value());
  check_texts(store.value());
  if (store.value().node_count() <= kMaxReducedNodes) {
    Result<Graph, BlobError> copy = deserialize(blob);
    check_reductions(store.value(), copy.value());
  }
  return 0;
}
