// NodeKey: the identity of a node, and the small value types it is made of.
//
// A store hash-conses nodes by key: equal keys always get one id, different
// keys never share one. Keys refer to other nodes only by id. Every field,
// in declared order, takes part in equality and hashing; input order and
// repeated inputs are part of the identity.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ir/params.hpp"

namespace zembrik {

using NodeId = std::uint64_t;
using NodeIds = std::vector<NodeId>;

// An id that names nothing, for a slot that holds no id (yet, or any more).
// Ids are dense from 0, so no graph reaches it; the optimizer's engine ids
// share it.
inline constexpr NodeId kNoId = ~NodeId{0};

// Reproducibility metadata of an External node; the strings are opaque.
struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent differs from ""

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

// The five required strings of a descriptor, named as Python spells them, in
// the order the record, the blob, the token and every Python view use: the
// sites that need the fields loop over this table instead of naming them.
struct DescriptorString {
  const char* name;
  std::string PayloadDescriptor::*member;
};
inline constexpr std::array<DescriptorString, 5> kDescriptorStrings = {{
    {"kind", &PayloadDescriptor::kind},
    {"content_hash", &PayloadDescriptor::content_hash},
    {"framework", &PayloadDescriptor::framework},
    {"version", &PayloadDescriptor::version},
    {"io_schema", &PayloadDescriptor::io_schema},
}};

// An operand of a stage member: the enclosing stage's input at `index`
// (tag 0) or an earlier member of the same stage (tag 1).
struct StageRef {
  enum class Tag : std::uint8_t { Input = 0, Member = 1 };
  Tag tag;
  std::uint64_t index;

  static StageRef Input(std::uint64_t i) { return {Tag::Input, i}; }
  static StageRef Member(std::uint64_t i) { return {Tag::Member, i}; }
  friend bool operator==(const StageRef&, const StageRef&) = default;
};

// One fused op of a stage: the fused node's token (kind, name, parameters,
// never inputs) and its operands in order.
struct StageOp {
  std::string token;
  std::vector<StageRef> inputs;

  friend bool operator==(const StageOp&, const StageOp&) = default;
};

struct Source {
  std::string name;
  ParamMap params;
  friend bool operator==(const Source&, const Source&) = default;
};
struct Op {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const Op&, const Op&) = default;
};
struct Reduction {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const Reduction&, const Reduction&) = default;
};
struct External {
  PayloadDescriptor descriptor;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const External&, const External&) = default;
};
// Stage inputs are the outside ids feeding the stage, each once, in order of
// first use; members come after every member they refer to.
struct Stage {
  NodeIds inputs;
  std::vector<StageOp> members;
  friend bool operator==(const Stage&, const Stage&) = default;
};
struct Exchange {
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const Exchange&, const Exchange&) = default;
};
struct Join {
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const Join&, const Join&) = default;
};

// The alternative index is the node tag that the canonical blob writes.
using NodeKey = std::variant<Source, Op, Reduction, External, Stage, Exchange, Join>;

enum class NodeTag : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5,
  Join = 6,
};
inline constexpr std::uint8_t kMaxNodeTag = 6;

inline NodeTag tag_of(const NodeKey& key) {
  return static_cast<NodeTag>(key.index());
}

// The ids a key consumes: empty for a Source, the stage-level inputs for a
// Stage.
const NodeIds& inputs_of(const NodeKey& key);

// The inputs of a key to change in place; nullptr for a Source.
NodeIds* mutable_inputs(NodeKey& key);

// A copy of `key` whose inputs are `inputs`. A Source ignores them; a Stage
// keeps its members, so the caller must keep the new list in step with them.
NodeKey with_inputs(const NodeKey& key, NodeIds inputs);

// The parameters of a key, or nullptr for a Stage, which has none.
const ParamMap* params_of(const NodeKey& key);

// The name of a Source, Op or Reduction; empty for the other kinds.
std::string_view name_of(const NodeKey& key);

// The kind words, by the index of the key's alternative.
inline constexpr std::array<const char*, 7> kKindWords = {
    "source", "op", "reduction", "external", "stage", "exchange", "join"};
static_assert(kKindWords.size() == std::variant_size_v<NodeKey>);

// "source", "op", "reduction", "external", "stage", "exchange" or "join".
inline const char* kind_word(const NodeKey& key) {
  return kKindWords[key.index()];
}

}  // namespace zembrik
