// Runner: equality saturation. Each iteration searches every rule against the
// rebuilt e-graph, applies all the matches, and rebuilds, until an iteration
// changes nothing or a limit is hit. The e-graph is left rebuilt however the
// run ends.
//
//   Runner runner;
//   runner.with_egraph(std::move(egraph)).with_max_iterations(12).run(rules);
//   Id canonical = runner.egraph().find(id);
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/scheduler.hpp"

namespace zembrik::eqsat {

struct StopReason {
  struct Saturated {
    friend bool operator==(Saturated, Saturated) = default;
  };
  struct IterationLimit {
    std::size_t iterations;
    friend bool operator==(IterationLimit, IterationLimit) = default;
  };
  struct NodeLimit {
    std::size_t nodes;
    friend bool operator==(NodeLimit, NodeLimit) = default;
  };
  struct TimeLimit {
    double seconds;  // elapsed since the run started
    friend bool operator==(TimeLimit, TimeLimit) = default;
  };
  std::variant<Saturated, IterationLimit, NodeLimit, TimeLimit> kind;
  friend bool operator==(const StopReason&, const StopReason&) = default;
};

// The report of one iteration.
struct Iteration {
  std::size_t egraph_nodes = 0;  // at the start of the iteration
  std::size_t egraph_classes = 0;
  // Merges per rule name, in order of first merge; rules without any are absent.
  std::vector<std::pair<GlobalSymbol, std::size_t>> applied;
  double search_time = 0;  // seconds
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;
  std::size_t congruence_merges = 0;
  std::optional<StopReason> stop_reason;
};

class Runner {
 public:
  using Clock = std::chrono::steady_clock;

  Runner& with_max_iterations(std::size_t max_iterations);
  Runner& with_max_nodes(std::size_t max_nodes);
  Runner& with_max_time(Clock::duration max_time);
  Runner& with_egraph(EGraph egraph);

  // Runs every rule in every iteration, in the given order, until a stop
  // reason comes up. Writes a warning to standard error when rule names
  // repeat.
  Runner& run(std::span<const Rewrite> rules);

  [[nodiscard]] const EGraph& egraph() const { return egraph_; }
  [[nodiscard]] EGraph& egraph() { return egraph_; }
  [[nodiscard]] const std::vector<Iteration>& iterations() const { return iterations_; }
  [[nodiscard]] const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  [[nodiscard]] const BackoffScheduler& scheduler() const { return scheduler_; }

 private:
  // Time, then nodes, then iterations: the first limit crossed.
  [[nodiscard]] std::optional<StopReason> check_limits() const;
  void run_iteration(std::span<const Rewrite> rules);

  std::size_t max_iterations_ = 30;
  std::size_t max_nodes_ = 10'000;
  Clock::duration max_time_ = std::chrono::seconds(5);
  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  std::optional<Clock::time_point> start_time_;
  BackoffScheduler scheduler_;
};

}  // namespace zembrik::eqsat
