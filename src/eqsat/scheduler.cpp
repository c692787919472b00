#include "eqsat/scheduler.hpp"

#include <algorithm>
#include <limits>

#include "base/failure.hpp"

namespace zembrik::eqsat {

RuleStats& BackoffScheduler::stats_for(GlobalSymbol rule_name) {
  auto [position, inserted] = stats_position_.try_emplace(rule_name, stats_.size());
  if (inserted) {
    stats_.emplace_back(rule_name, RuleStats{.rule_match_limit = kInitialMatchLimit,
                                             .rule_ban_length = kInitialBanLength});
  }
  return stats_[*position].second;
}

const RuleStats* BackoffScheduler::stats(GlobalSymbol rule_name) const {
  const std::size_t* position = stats_position_.find(rule_name);
  return position == nullptr ? nullptr : &stats_[*position].second;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(std::uint64_t iteration,
                                                            const EGraph& egraph,
                                                            const Rewrite& rule) {
  RuleStats& stats = stats_for(rule.name());
  if (iteration < stats.ban_expiry) return {};
  if (stats.ban_count >= 64) fail("Rule banned too often to shift its limits");

  const std::uint64_t threshold = stats.rule_match_limit << stats.ban_count;
  // One match beyond the threshold is enough to know the rule gets banned.
  const std::uint64_t cap =
      threshold == std::numeric_limits<std::uint64_t>::max() ? threshold : threshold + 1;
  std::vector<SearchMatches> matches = rule.searcher().search_with_limit(egraph, cap);

  std::uint64_t total = 0;
  for (const SearchMatches& found : matches) total += found.substitutions.size();
  if (total > threshold) {
    const std::uint64_t ban_length = stats.rule_ban_length << stats.ban_count;
    stats.ban_count += 1;
    stats.ban_expiry = iteration + ban_length;
    return {};
  }
  stats.accepted_searches += 1;
  return matches;
}

std::size_t BackoffScheduler::apply_rewrite(EGraph& egraph, const Rewrite& rule,
                                            std::span<const SearchMatches> matches) {
  return apply_matches(rule.applier(), egraph, matches).size();
}

bool BackoffScheduler::can_stop(std::uint64_t iteration) {
  std::vector<RuleStats*> banned;
  for (auto& [name, stats] : stats_) {
    if (stats.ban_expiry > iteration) banned.push_back(&stats);
  }
  if (banned.empty()) return true;

  const std::uint64_t soonest =
      (*std::min_element(banned.begin(), banned.end(), [](const RuleStats* a, const RuleStats* b) {
        return a->ban_expiry < b->ban_expiry;
      }))->ban_expiry;
  if (soonest < iteration) fail("A banned rule expires before the current iteration");
  const std::uint64_t delta = soonest - iteration;
  std::size_t unbanned = 0;
  for (RuleStats* stats : banned) {
    stats->ban_expiry -= delta;
    if (stats->ban_expiry == iteration) ++unbanned;
  }
  if (unbanned == 0) fail("Fast-forwarding the bans unbanned no rule");
  return false;
}

}  // namespace zembrik::eqsat
