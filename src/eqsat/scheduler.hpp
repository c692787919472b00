// BackoffScheduler: stands between the runner and the rules, and bans for a
// while any rule whose matches in one search exceed its threshold, so that a
// rule that explodes (commutativity over a large graph) cannot flood the
// e-graph in one iteration. Each ban doubles the rule's threshold and the
// length of its next ban.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/flat_map.hpp"
#include "eqsat/egraph.hpp"
#include "eqsat/rewrite.hpp"

namespace zembrik::eqsat {

struct RuleStats {
  std::uint64_t accepted_searches = 0;
  std::uint64_t ban_expiry = 0;  // the first iteration searching the rule again
  std::uint64_t ban_count = 0;
  std::uint64_t rule_match_limit = 0;
  std::uint64_t rule_ban_length = 0;
};

class BackoffScheduler {
 public:
  static constexpr std::uint64_t kInitialMatchLimit = 1000;
  static constexpr std::uint64_t kInitialBanLength = 5;

  // The rule's matches, or none while it is banned or when it gets banned.
  std::vector<SearchMatches> search_rewrite(std::uint64_t iteration, const EGraph& egraph,
                                            const Rewrite& rule);
  // The number of merges the matches caused.
  std::size_t apply_rewrite(EGraph& egraph, const Rewrite& rule,
                            std::span<const SearchMatches> matches);
  // Yes when no rule is banned. Otherwise the bans are shortened so that the
  // soonest-expiring rules run in the next iteration, and the answer is no.
  bool can_stop(std::uint64_t iteration);

  // Statistics of a rule name, or nullptr before its first search.
  [[nodiscard]] const RuleStats* stats(GlobalSymbol rule_name) const;

 private:
  RuleStats& stats_for(GlobalSymbol rule_name);

  // In order of first search; rules sharing a name share their entry.
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats_;
  FlatMap<GlobalSymbol, std::size_t, GlobalSymbolHash> stats_position_;
};

}  // namespace zembrik::eqsat
