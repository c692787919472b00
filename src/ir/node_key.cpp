#include "ir/node_key.hpp"

namespace zembrik {

const NodeIds& inputs_of(const NodeKey& key) {
  static const NodeIds kNone;
  return std::visit(
      [](const auto& k) -> const NodeIds& {
        if constexpr (std::is_same_v<std::decay_t<decltype(k)>, Source>) {
          return kNone;
        } else {
          return k.inputs;
        }
      },
      key);
}

NodeIds* mutable_inputs(NodeKey& key) {
  return std::visit(
      [](auto& k) -> NodeIds* {
        if constexpr (std::is_same_v<std::decay_t<decltype(k)>, Source>) {
          return nullptr;
        } else {
          return &k.inputs;
        }
      },
      key);
}

NodeKey with_inputs(const NodeKey& key, NodeIds inputs) {
  NodeKey copy = key;
  if (NodeIds* own = mutable_inputs(copy)) *own = std::move(inputs);
  return copy;
}

const ParamMap* params_of(const NodeKey& key) {
  return std::visit(
      [](const auto& k) -> const ParamMap* {
        if constexpr (std::is_same_v<std::decay_t<decltype(k)>, Stage>) {
          return nullptr;
        } else {
          return &k.params;
        }
      },
      key);
}

std::string_view name_of(const NodeKey& key) {
  if (const auto* k = std::get_if<Source>(&key)) return k->name;
  if (const auto* k = std::get_if<Op>(&key)) return k->name;
  if (const auto* k = std::get_if<Reduction>(&key)) return k->name;
  return {};
}

}  // namespace zembrik
