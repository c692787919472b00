#include "eqsat/runner.hpp"

#include <algorithm>
#include <cassert>
#include <iostream>

#include "base/failure.hpp"

namespace zembrik::eqsat {
namespace {

using Clock = Runner::Clock;

double seconds_between(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// Adds `amount` to the entry of `name`, creating it at the end if missing.
void add_to(std::vector<std::pair<GlobalSymbol, std::size_t>>& counts, GlobalSymbol name,
            std::size_t amount) {
  auto entry = std::find_if(counts.begin(), counts.end(),
                            [&](const auto& pair) { return pair.first == name; });
  if (entry == counts.end()) {
    counts.emplace_back(name, amount);
  } else {
    entry->second += amount;
  }
}

// Rules sharing a name share their scheduler statistics and their report
// entries, which is rarely what the author of the rule list meant.
void warn_about_duplicate_names(std::span<const Rewrite> rules) {
  std::vector<std::pair<GlobalSymbol, std::size_t>> counts;
  for (const Rewrite& rule : rules) add_to(counts, rule.name(), 1);
  const bool any_repeated =
      std::any_of(counts.begin(), counts.end(), [](const auto& pair) { return pair.second > 1; });
  if (!any_repeated) return;
  std::cerr << "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
  for (const auto& [name, count] : counts) {
    if (count > 1) std::cerr << "Rule '" << name << "' appears " << count << " times\n";
  }
}

}  // namespace

Runner& Runner::with_max_iterations(std::size_t max_iterations) {
  max_iterations_ = max_iterations;
  return *this;
}

Runner& Runner::with_max_nodes(std::size_t max_nodes) {
  max_nodes_ = max_nodes;
  return *this;
}

Runner& Runner::with_max_time(Clock::duration max_time) {
  max_time_ = max_time;
  return *this;
}

Runner& Runner::with_egraph(EGraph egraph) {
  egraph_ = std::move(egraph);
  return *this;
}

std::optional<StopReason> Runner::check_limits() const {
  assert(start_time_ && "limits are checked only once the run has started");
  const Clock::duration elapsed = Clock::now() - *start_time_;
  if (elapsed > max_time_) {
    return StopReason{StopReason::TimeLimit{std::chrono::duration<double>(elapsed).count()}};
  }
  if (egraph_.node_count() > max_nodes_) {
    return StopReason{StopReason::NodeLimit{egraph_.node_count()}};
  }
  if (iterations_.size() >= max_iterations_) {
    return StopReason{StopReason::IterationLimit{iterations_.size()}};
  }
  return std::nullopt;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  warn_about_duplicate_names(rules);
  egraph_.rebuild();
  for (;;) {
    if (stop_reason_) fail("The runner has already stopped; it runs only once");
    run_iteration(rules);
    if (stop_reason_) return *this;
  }
}

void Runner::run_iteration(std::span<const Rewrite> rules) {
  const Clock::time_point iteration_start = Clock::now();
  if (!start_time_) start_time_ = iteration_start;
  std::optional<StopReason> result = check_limits();
  Iteration report;
  report.egraph_nodes = egraph_.node_count();
  report.egraph_classes = egraph_.class_count();
  const std::uint64_t index = iterations_.size();

  // Every rule is searched against the same rebuilt e-graph before any
  // match is applied.
  std::vector<std::vector<SearchMatches>> matches;
  if (!result) {
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_.search_rewrite(index, egraph_, rule));
      result = check_limits();
      if (result) break;
    }
  }
  const Clock::time_point search_end = Clock::now();

  if (!result) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      const std::size_t merges = scheduler_.apply_rewrite(egraph_, rules[k], matches[k]);
      if (merges > 0) add_to(report.applied, rules[k].name(), merges);
      result = check_limits();
      if (result) break;
    }
  }
  const Clock::time_point apply_end = Clock::now();

  // Also after a stop, so that the caller always gets a rebuilt e-graph.
  report.congruence_merges = egraph_.rebuild();
  const Clock::time_point rebuild_end = Clock::now();

  // can_stop shortens bans, so it is asked only when nothing was applied.
  const bool saturated = report.applied.empty() && scheduler_.can_stop(index) &&
                         egraph_.node_count() == report.egraph_nodes &&
                         egraph_.class_count() == report.egraph_classes;
  if (saturated && !result) result = StopReason{StopReason::Saturated{}};

  report.search_time = seconds_between(iteration_start, search_end);
  report.apply_time = seconds_between(search_end, apply_end);
  report.rebuild_time = seconds_between(apply_end, rebuild_end);
  report.total_time = seconds_between(iteration_start, rebuild_end);
  report.stop_reason = result;
  iterations_.push_back(std::move(report));
  stop_reason_ = result ? result : check_limits();
}

}  // namespace zembrik::eqsat
