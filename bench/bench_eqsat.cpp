// Equality-saturation engine at pipeline scale: a graph of n nodes (default
// 1,000,000) made of long chains of unary operators, 25% binary commutative
// operators over earlier nodes (some recorded in both orientations) and 5%
// identity scalar operators. Measures adding every node plus the first
// rebuild, then a full run of the twelve canonicalisation rules under the
// limits the reducer uses. One line per figure; the peer is a plain
// std::unordered_map hash-cons of the same nodes.
//
//   bench_eqsat [node count]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/hashing.hpp"
#include "eqsat/pattern.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/runner.hpp"

namespace eqsat = zembrik::eqsat;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kCommutative[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
const char* const kIdentityTokens[] = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
const char* const kUnary[] = {"op|neg", "op|abs", "op|exp", "op|log", "op|sqrt", "op|floor"};

struct BenchNode {
  std::uint32_t token;
  std::uint32_t arity;
  std::uint32_t inputs[2];
};

struct BenchGraph {
  std::vector<std::string> tokens;
  std::vector<BenchNode> nodes;
  std::size_t binary = 0;
  std::size_t swapped = 0;
  std::size_t identity = 0;
};

class Random {
 public:
  std::uint64_t next() { return eqsat::mix64(state_ += eqsat::kGoldenGamma); }
  std::uint32_t below(std::uint64_t bound) { return static_cast<std::uint32_t>(next() % bound); }

 private:
  std::uint64_t state_ = 20240607;
};

BenchGraph make_graph(std::size_t n) {
  constexpr std::size_t kChainLength = 1000;
  BenchGraph graph;
  for (const char* op : kCommutative) graph.tokens.push_back(std::string("op|") + op);
  for (const char* token : kIdentityTokens) graph.tokens.push_back(token);
  for (const char* token : kUnary) graph.tokens.push_back(token);
  const std::uint32_t first_identity = 8;
  const std::uint32_t first_unary = 12;
  Random random;
  graph.nodes.reserve(n);
  std::uint32_t previous = 0;
  while (graph.nodes.size() < n) {
    const auto at = static_cast<std::uint32_t>(graph.nodes.size());
    if (at % kChainLength == 0) {
      graph.nodes.push_back({static_cast<std::uint32_t>(graph.tokens.size()), 0, {0, 0}});
      graph.tokens.push_back("src|chain" + std::to_string(at / kChainLength));
    } else if (const std::uint32_t roll = random.below(100); roll < 20) {
      const std::uint32_t op = random.below(8);
      const std::uint32_t other = random.below(at);
      graph.nodes.push_back({op, 2, {previous, other}});
      ++graph.binary;
      // A quarter of the pairs are also recorded the other way round.
      if (random.below(4) == 0 && graph.nodes.size() < n) {
        graph.nodes.push_back({op, 2, {other, previous}});
        ++graph.binary;
        ++graph.swapped;
      }
    } else if (roll < 25) {
      graph.nodes.push_back({first_identity + random.below(4), 1, {previous, 0}});
      ++graph.identity;
    } else {
      graph.nodes.push_back({first_unary + random.below(6), 1, {previous, 0}});
    }
    previous = static_cast<std::uint32_t>(graph.nodes.size() - 1);
  }
  return graph;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t peak_rss_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

std::shared_ptr<const eqsat::Pattern> read(const std::string& text) {
  auto read = eqsat::read_pattern(text);
  if (!read) {
    std::fprintf(stderr, "bad pattern %s\n", text.c_str());
    std::exit(1);
  }
  return std::make_shared<const eqsat::Pattern>(std::move(read).value());
}

std::vector<eqsat::Rewrite> canonicalisation_rules() {
  std::vector<eqsat::Rewrite> rules;
  auto add_rule = [&](std::string name, const std::string& searcher, const std::string& applier) {
    auto made = eqsat::Rewrite::make(std::move(name), read(searcher), read(applier));
    rules.push_back(std::move(made).value());
  };
  for (const std::string op : kCommutative) {
    add_rule("commute-" + op, "(op|" + op + " ?a ?b)", "(op|" + op + " ?b ?a)");
  }
  for (int k = 0; k < 4; ++k) {
    add_rule("identity-" + std::to_string(k), "(" + std::string(kIdentityTokens[k]) + " ?x)", "?x");
  }
  return rules;
}

const char* stop_name(const eqsat::StopReason& reason) {
  struct Name {
    const char* operator()(eqsat::StopReason::Saturated) const { return "Saturated"; }
    const char* operator()(eqsat::StopReason::IterationLimit) const { return "IterationLimit"; }
    const char* operator()(eqsat::StopReason::NodeLimit) const { return "NodeLimit"; }
    const char* operator()(eqsat::StopReason::TimeLimit) const { return "TimeLimit"; }
  };
  return std::visit(Name{}, reason.kind);
}

// The peer: hash-consing the same nodes in a std::unordered_map, no e-classes.
double unordered_map_hash_cons_seconds(const BenchGraph& graph) {
  const Clock::time_point start = Clock::now();
  std::unordered_map<eqsat::SymbolLang, eqsat::Id, eqsat::SymbolLangHash> table;
  std::vector<eqsat::Id> ids(graph.nodes.size());
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const BenchNode& node = graph.nodes[i];
    const eqsat::Id children[2] = {ids[node.inputs[0]], ids[node.inputs[1]]};
    eqsat::SymbolLang key(eqsat::GlobalSymbol(graph.tokens[node.token]),
                          std::span<const eqsat::Id>(children, node.arity));
    ids[i] = table.try_emplace(std::move(key), static_cast<eqsat::Id>(table.size())).first->second;
  }
  return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::stoull(argv[1]) : 1'000'000;
  const BenchGraph graph = make_graph(n);
  std::printf("graph: %zu nodes, %zu binary (%zu swapped copies), %zu identity\n",
              graph.nodes.size(), graph.binary, graph.swapped, graph.identity);
  const std::size_t rss_before = peak_rss_bytes();

  // Like the reducer: intern every token, add every node, then rebuild.
  std::vector<eqsat::Id> ids(n);
  Clock::time_point start = Clock::now();
  eqsat::EGraph egraph;
  for (std::size_t i = 0; i < n; ++i) {
    const BenchNode& node = graph.nodes[i];
    const eqsat::Id children[2] = {ids[node.inputs[0]], ids[node.inputs[1]]};
    ids[i] = egraph.add(eqsat::SymbolLang(eqsat::GlobalSymbol(graph.tokens[node.token]),
                                          std::span<const eqsat::Id>(children, node.arity)));
  }
  const double add_seconds = seconds_since(start);
  start = Clock::now();
  egraph.rebuild();
  const double rebuild_seconds = seconds_since(start);
  const double add_rebuild = add_seconds + rebuild_seconds;
  std::printf("add: %.3f s (%.0f ns/node)\n", add_seconds, add_seconds * 1e9 / n);
  std::printf("first rebuild: %.3f s (%.0f ns/node)\n", rebuild_seconds, rebuild_seconds * 1e9 / n);
  std::printf("add + first rebuild: %.3f s (%.0f ns/node, target <= 400)\n", add_rebuild,
              add_rebuild * 1e9 / n);
  std::printf("classes after first rebuild: %zu\n", egraph.class_count());

  const std::vector<eqsat::Rewrite> rules = canonicalisation_rules();
  eqsat::Runner runner;
  runner.with_egraph(std::move(egraph)).with_max_iterations(12).with_max_nodes(4 * n + 1024);
  start = Clock::now();
  runner.run(rules);
  const double run_seconds = seconds_since(start);
  const auto& iterations = runner.iterations();
  for (std::size_t k = 0; k < iterations.size(); ++k) {
    const eqsat::Iteration& it = iterations[k];
    std::size_t merges = 0;
    for (const auto& [name, count] : it.applied) merges += count;
    std::printf(
        "iteration %zu: %.3f s (search %.3f, apply %.3f, rebuild %.3f), %zu merges by rules, "
        "%zu by congruence, %zu nodes, %zu classes at start\n",
        k, it.total_time, it.search_time, it.apply_time, it.rebuild_time, merges,
        it.congruence_merges, it.egraph_nodes, it.egraph_classes);
  }
  std::printf("runner: %zu iterations, stop reason %s\n", iterations.size(),
              stop_name(*runner.stop_reason()));
  std::printf("runner total: %.3f s (%.3f s per iteration, target total < 2 s)\n", run_seconds,
              run_seconds / iterations.size());
  std::printf("after run: %zu nodes, %zu classes\n", runner.egraph().node_count(),
              runner.egraph().class_count());
  const std::size_t peak = peak_rss_bytes();
  std::printf("peak RSS: %.1f MB, %.0f bytes/node (%.0f without the input graph; target < 400)\n",
              peak / 1e6, static_cast<double>(peak) / n,
              static_cast<double>(peak - rss_before) / n);

  const double peer = unordered_map_hash_cons_seconds(graph);
  std::printf(
      "peer, std::unordered_map hash-cons of the same nodes: %.3f s (%.0f ns/node, "
      "engine add + rebuild is %.2fx)\n",
      peer, peer * 1e9 / n, add_rebuild / peer);
  return 0;
}
