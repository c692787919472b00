// SaturationEngine: the RewriteEngine that canonicalizes by equality
// saturation over the rules of optimizer/rules.hpp: commutativity of eight
// binary operators, and elimination of scalar add-zero and multiply-by-one.
//
// Only nodes of the argument come back; of each class the one at the
// smallest position represents it, with its own operand order.
#pragma once

#include <vector>

#include "eqsat/rewrite.hpp"
#include "eqsat/runner.hpp"
#include "optimizer/engine_graph.hpp"

namespace zembrik {

// A canonicalization with how the runner ended it, for benchmarks that watch
// whether a graph saturates within the limits.
struct SaturationRun {
  Canonicalized result;
  eqsat::StopReason stop_reason;
  std::size_t iterations = 0;
};

class SaturationEngine : public RewriteEngine {
 public:
  SaturationEngine();

  Canonicalized canonicalize(const EngineGraph& graph) const override;
  SaturationRun run(const EngineGraph& graph) const;

  const std::vector<eqsat::Rewrite>& rules() const { return rules_; }
  std::uint64_t max_iterations() const { return max_iterations_; }

 private:
  std::vector<eqsat::Rewrite> rules_;
  std::uint64_t max_iterations_ = 12;
};

}  // namespace zembrik
