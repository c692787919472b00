#include "optimizer/saturation_engine.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "base/failure.hpp"
#include "base/result.hpp"
#include "eqsat/pattern.hpp"
#include "eqsat/runner.hpp"
#include "ir/node_key.hpp"
#include "optimizer/rules.hpp"

namespace zembrik {
namespace {

std::shared_ptr<const eqsat::Pattern> pattern(const std::string& text) {
  auto read = eqsat::read_pattern(text);
  if (!read) fail("built-in pattern " + text + ": " + eqsat::to_string(read.error()));
  return std::make_shared<const eqsat::Pattern>(std::move(read).value());
}

eqsat::Rewrite rule(std::string name, const std::string& searcher, const std::string& applier) {
  auto made = eqsat::Rewrite::make(std::move(name), pattern(searcher), pattern(applier));
  if (!made) fail(made.error());
  return std::move(made).value();
}

}  // namespace

SaturationEngine::SaturationEngine(SaturationLimits limits) : limits_(limits) {
  for (const RuleText& text : rule_texts()) {
    rules_.push_back(rule(text.name, text.searcher, text.applier));
  }
}

Canonicalized SaturationEngine::canonicalize(const EngineGraph& graph) const {
  return std::move(run(graph).result);
}

SaturationRun SaturationEngine::run(const EngineGraph& graph) const {
  const std::size_t n = graph.size();
  if (n > 0xFFFFFFF0u) fail("engine graph fits the e-graph's ids");

  // The graph's tokens are symbols for this run only: the rules' symbols
  // were interned process-wide when the engine was built, and a token equal
  // to one of them gets that handle, so the rules still match it.
  eqsat::SymbolScope scope;
  std::vector<eqsat::GlobalSymbol> symbols;
  symbols.reserve(graph.tokens.size());
  for (const std::string& token : graph.tokens) symbols.push_back(scope.intern(token));

  eqsat::EGraph egraph;
  std::vector<eqsat::Id> ids(n);
  std::vector<eqsat::Id> children;
  for (EngineId i = 0; i < n; ++i) {
    children.clear();
    for (EngineId x : graph.inputs_of(i)) {
      if (x >= i) fail("engine graph is topologically ordered");
      children.push_back(ids[x]);
    }
    ids[i] = egraph.find(egraph.add(eqsat::SymbolLang(symbols[graph.nodes[i].token], children)));
  }

  eqsat::Runner runner;
  runner.with_egraph(std::move(egraph))
      .with_max_iterations(limits_.max_iterations)
      .with_max_nodes(4 * n + 1024)
      .with_max_time(limits_.max_time)
      .run(rules_);
  const eqsat::EGraph& result = runner.egraph();

  // The smallest position of each class represents it; `class_pos` is
  // indexed by canonical class id and holds kNoId until the class comes up.
  std::vector<eqsat::Id> canon(n);
  eqsat::Id largest_class = 0;
  for (EngineId i = 0; i < n; ++i) {
    canon[i] = result.find(ids[i]);
    largest_class = std::max(largest_class, canon[i]);
  }
  std::vector<EngineId> class_pos(n == 0 ? 0 : std::size_t{largest_class} + 1, kNoId);
  SaturationRun outcome{{}, *runner.stop_reason(), runner.iterations().size()};
  Canonicalized& out = outcome.result;
  out.graph.tokens = graph.tokens;
  out.class_map.resize(n);
  std::vector<EngineId> operands;
  for (EngineId i = 0; i < n; ++i) {
    EngineId& pos = class_pos[canon[i]];
    if (pos == kNoId) {
      operands.clear();
      for (EngineId x : graph.inputs_of(i)) {
        const EngineId at = class_pos[canon[x]];
        if (at == kNoId) fail("operand class has a representative");
        operands.push_back(at);
      }
      pos = out.graph.add_node(graph.nodes[i].token, operands, !is_op_token(graph.token_of(i)));
    }
    out.class_map[i] = pos;
  }
  for (EngineId o : graph.outputs) out.graph.outputs.push_back(out.class_map.at(o));
  // The e-graph is congruence-closed: equal tokens over equal classes are one class.
  out.hash_consed = true;
  return outcome;
}

}  // namespace zembrik
