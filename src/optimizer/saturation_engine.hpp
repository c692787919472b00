// SaturationEngine: the RewriteEngine that canonicalizes by equality
// saturation over the rules of optimizer/rules.hpp: commutativity of eight
// binary operators, and elimination of scalar add-zero and multiply-by-one.
// It is the general reference the direct engine is tested against; the
// reductions themselves use the direct engine.
//
// Only nodes of the argument come back; of each class the one at the
// smallest position represents it, with its own operand order.
//
// A run that hits a limit stops less merged than the fixed point, so with
// the default limits the result of a large graph can depend on the machine's
// speed; SaturationLimits::none() never stops before saturation.
#pragma once

#include <chrono>
#include <limits>
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

struct SaturationLimits {
  std::size_t max_iterations = 12;
  eqsat::Runner::Clock::duration max_time = std::chrono::seconds(5);

  // Limits no run reaches: it ends only when the rules are saturated.
  static SaturationLimits none() {
    return {std::numeric_limits<std::size_t>::max(), eqsat::Runner::Clock::duration::max()};
  }
};

class SaturationEngine : public RewriteEngine {
 public:
  explicit SaturationEngine(SaturationLimits limits = {});

  Canonicalized canonicalize(const EngineGraph& graph) const override;
  SaturationRun run(const EngineGraph& graph) const;

  const std::vector<eqsat::Rewrite>& rules() const { return rules_; }
  std::uint64_t max_iterations() const { return limits_.max_iterations; }

 private:
  std::vector<eqsat::Rewrite> rules_;
  SaturationLimits limits_;
};

}  // namespace zembrik
