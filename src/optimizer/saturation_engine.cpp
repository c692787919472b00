#include "optimizer/saturation_engine.hpp"

#include <memory>
#include <string>
#include <unordered_map>

#include "eqsat/pattern.hpp"
#include "eqsat/runner.hpp"
#include "ir/result.hpp"

namespace zembrik {
namespace {

std::shared_ptr<const eqsat::Pattern> pattern(const std::string& text) {
  auto read = eqsat::read_pattern(text);
  if (auto* error = std::get_if<eqsat::RecExprParseError>(&read)) {
    throw InternalFailure("built-in pattern " + text + ": " + eqsat::to_string(*error));
  }
  return std::make_shared<const eqsat::Pattern>(std::move(std::get<eqsat::Pattern>(read)));
}

eqsat::Rewrite rule(std::string name, const std::string& searcher, const std::string& applier) {
  auto made = eqsat::Rewrite::make(std::move(name), pattern(searcher), pattern(applier));
  if (auto* error = std::get_if<std::string>(&made)) throw InternalFailure(*error);
  return std::move(std::get<eqsat::Rewrite>(made));
}

}  // namespace

SaturationEngine::SaturationEngine() {
  for (const char* op : kCommutativeOps) {
    const std::string name = op;
    rules_.push_back(rule("commute-" + name, "(op|" + name + " ?a ?b)", "(op|" + name + " ?b ?a)"));
  }
  for (std::size_t k = 0; k < std::size(kIdentityTokens); ++k) {
    rules_.push_back(rule("identity-" + std::to_string(k),
                          "(" + std::string(kIdentityTokens[k]) + " ?x)", "?x"));
  }
}

Canonicalized SaturationEngine::canonicalize(const EngineGraph& graph) const {
  const std::size_t n = graph.size();
  if (n > 0xFFFFFFF0u) throw InternalFailure("engine graph fits the e-graph's ids");

  std::vector<eqsat::GlobalSymbol> symbols;
  symbols.reserve(graph.tokens.size());
  for (const std::string& token : graph.tokens) symbols.emplace_back(token);

  eqsat::EGraph egraph;
  std::vector<eqsat::Id> ids(n);
  std::vector<eqsat::Id> children;
  for (EngineId i = 0; i < n; ++i) {
    children.clear();
    for (EngineId x : graph.inputs_of(i)) {
      if (x >= i) throw InternalFailure("engine graph is topologically ordered");
      children.push_back(ids[x]);
    }
    ids[i] = egraph.find(egraph.add(eqsat::SymbolLang(symbols[graph.nodes[i].token], children)));
  }

  eqsat::Runner runner;
  runner.with_egraph(std::move(egraph))
      .with_max_iterations(max_iterations_)
      .with_max_nodes(4 * n + 1024)
      .run(rules_);
  const eqsat::EGraph& result = runner.egraph();

  // The smallest position of each class represents it. Classes are keyed by
  // canonical id, which is below the e-graph's id count.
  constexpr EngineId kNone = ~EngineId{0};
  std::vector<eqsat::Id> canon(n);
  std::unordered_map<eqsat::Id, EngineId> class_pos;
  class_pos.reserve(n);
  Canonicalized out;
  out.graph.tokens = graph.tokens;
  out.class_map.assign(n, kNone);
  std::vector<EngineId> operands;
  for (EngineId i = 0; i < n; ++i) {
    canon[i] = result.find(ids[i]);
    const auto [it, fresh] = class_pos.try_emplace(canon[i], out.graph.size());
    if (fresh) {
      operands.clear();
      for (EngineId x : graph.inputs_of(i)) {
        const auto at = class_pos.find(canon[x]);
        if (at == class_pos.end()) throw InternalFailure("operand class has a representative");
        operands.push_back(at->second);
      }
      out.graph.add_node(graph.nodes[i].token, operands, !is_op_token(graph.token_of(i)));
    }
    out.class_map[i] = it->second;
  }
  for (EngineId o : graph.outputs) out.graph.outputs.push_back(out.class_map.at(o));
  return out;
}

}  // namespace zembrik
