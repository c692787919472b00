#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/runner.hpp"
#include "test_support.hpp"

namespace zembrik::eqsat {
namespace {

std::shared_ptr<const Pattern> pattern(const std::string& text) {
  return std::make_shared<const Pattern>(read_pattern_ast(text).value());
}

Rewrite rule(const std::string& name, const std::string& searcher, const std::string& applier) {
  auto made = Rewrite::make(name, pattern(searcher), pattern(applier));
  if (!made) fail(made.error());
  return std::move(made).value();
}

// `count` classes f(leaf_k), so that (f ?a) has `count` matches.
EGraph leaves_under(const std::string& op, int count) {
  EGraph egraph;
  for (int k = 0; k < count; ++k)
    egraph.add(node(op, {egraph.add(node("leaf" + std::to_string(k)))}));
  return egraph;
}

StopReason saturated() {
  return StopReason{StopReason::Saturated{}};
}
StopReason iteration_limit(std::size_t n) {
  return StopReason{StopReason::IterationLimit{n}};
}

TEST(RewriteTest, ApplierVariablesMustBeBoundByTheSearcher) {
  auto made = Rewrite::make("bad", pattern("(f ?a ?b)"), pattern("(g ?c ?a)"));
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error(), "Rewrite bad refers to unbound var ?c");
}

TEST(RewriteTest, ApplyMatchesKeepsTheInstanceClassOnATie) {
  EGraph egraph;
  const Id x = egraph.add(node("x"));
  const Id y = egraph.add(node("y"));
  const Id fxy = egraph.add(node("f", {x, y}));
  const Id fyy = egraph.add(node("f", {y, y}));
  egraph.rebuild();
  const Rewrite commute = rule("commute", "(f ?a ?b)", "(f ?b ?a)");
  const auto matches = commute.searcher().search_with_limit(egraph, 10);
  const std::vector<Id> merged = apply_matches(commute.applier(), egraph, matches);
  // f(y, y) is its own swap, so only f(x, y) merges, with the new f(y, x).
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(egraph.find(fxy), merged[0]);
  EXPECT_EQ(egraph.lookup(node("f", {y, x})), merged[0]);
  EXPECT_EQ(egraph.find(fyy), fyy);
}

TEST(RunnerTest, NothingToMatchSaturatesAfterOneIteration) {
  Runner runner;
  const std::vector<Rewrite> rules{rule("unused", "(nothing ?a)", "(other ?a)")};
  runner.with_egraph(leaves_under("f", 3)).run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), saturated());
  EXPECT_EQ(runner.iterations()[0].stop_reason, saturated());
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  EXPECT_EQ(runner.iterations()[0].egraph_classes, 6u);
}

TEST(RunnerTest, ExplodingRuleIsBannedAndFastForwarded) {
  Runner runner;
  const std::vector<Rewrite> rules{rule("to-g", "(f ?a)", "(g ?a)")};
  runner.with_egraph(leaves_under("f", 1001)).run(rules);
  const auto& iterations = runner.iterations();
  // 0: 1001 matches exceed 1000, banned until 5 and fast-forwarded to 1.
  // 1: the threshold is 2000, all 1001 merge. 2: nothing new.
  ASSERT_EQ(iterations.size(), 3u);
  EXPECT_TRUE(iterations[0].applied.empty());
  EXPECT_EQ(iterations[0].egraph_nodes, 2002u);
  ASSERT_EQ(iterations[1].applied.size(), 1u);
  EXPECT_EQ(iterations[1].applied[0], std::make_pair(GlobalSymbol("to-g"), std::size_t{1001}));
  EXPECT_EQ(runner.stop_reason(), saturated());
  const RuleStats* stats = runner.scheduler().stats(GlobalSymbol("to-g"));
  ASSERT_NE(stats, nullptr);
  EXPECT_EQ(stats->ban_count, 1u);
  EXPECT_EQ(stats->accepted_searches, 2u);
  EXPECT_EQ(stats->ban_expiry, 0u);
}

TEST(RunnerTest, LongerBansShrinkByTheSameDelta) {
  EGraph egraph = leaves_under("f", 1001);
  for (int k = 0; k < 2500; ++k)
    egraph.add(node("h", {egraph.add(node("h-leaf" + std::to_string(k)))}));
  Runner runner;
  const std::vector<Rewrite> rules{rule("f-to-g", "(f ?a)", "(g ?a)"),
                                   rule("h-to-k", "(h ?a)", "(k ?a)")};
  runner.with_egraph(std::move(egraph)).with_max_nodes(100'000).run(rules);
  const auto& iterations = runner.iterations();
  // 0: both banned until 5, both fast-forwarded. 1: f-to-g applies, h-to-k
  // (2500 > 2000) is banned until 11. 2: nothing applies; the ban shrinks by 9
  // to expire at 2. 3: h-to-k applies under a threshold of 4000. 4: saturated.
  ASSERT_EQ(iterations.size(), 5u);
  EXPECT_TRUE(iterations[0].applied.empty());
  ASSERT_EQ(iterations[1].applied.size(), 1u);
  EXPECT_EQ(iterations[1].applied[0].first, GlobalSymbol("f-to-g"));
  EXPECT_TRUE(iterations[2].applied.empty());
  ASSERT_EQ(iterations[3].applied.size(), 1u);
  EXPECT_EQ(iterations[3].applied[0], std::make_pair(GlobalSymbol("h-to-k"), std::size_t{2500}));
  EXPECT_EQ(runner.stop_reason(), saturated());
  EXPECT_EQ(runner.scheduler().stats(GlobalSymbol("h-to-k"))->ban_count, 2u);
}

TEST(RunnerTest, ZeroIterationsStillRecordsOne) {
  Runner runner;
  const std::vector<Rewrite> rules{rule("to-g", "(f ?a)", "(g ?a)")};
  runner.with_egraph(leaves_under("f", 2)).with_max_iterations(0).run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), iteration_limit(0));
  EXPECT_EQ(runner.scheduler().stats(GlobalSymbol("to-g")), nullptr);
}

TEST(RunnerTest, GrowingRuleStopsAtTheIterationLimit) {
  Runner runner;
  // Each iteration adds one class s(...) that the next one matches again.
  const std::vector<Rewrite> rules{rule("grow", "(f ?a)", "(f (s ?a))")};
  runner.with_egraph(leaves_under("f", 1)).with_max_iterations(12).run(rules);
  EXPECT_EQ(runner.iterations().size(), 12u);
  EXPECT_EQ(runner.stop_reason(), iteration_limit(12));
  EXPECT_EQ(runner.iterations().back().stop_reason, std::nullopt);
  EXPECT_TRUE(runner.egraph().is_clean());
}

TEST(RunnerTest, NodeLimitCrossedMidApplySkipsLaterRulesButRebuilds) {
  Runner runner;
  const std::vector<Rewrite> rules{rule("to-g", "(f ?a)", "(g ?a)"),
                                   rule("to-k", "(f ?a)", "(k ?a)")};
  runner.with_egraph(leaves_under("f", 10)).with_max_nodes(25).run(rules);
  ASSERT_EQ(runner.iterations().size(), 1u);
  const Iteration& first = runner.iterations()[0];
  ASSERT_EQ(first.applied.size(), 1u);
  EXPECT_EQ(first.applied[0].first, GlobalSymbol("to-g"));
  EXPECT_EQ(runner.stop_reason(), (StopReason{StopReason::NodeLimit{30}}));
  EXPECT_EQ(first.stop_reason, runner.stop_reason());
  EXPECT_TRUE(runner.egraph().is_clean());
  EXPECT_EQ(runner.egraph().lookup(node("k", {0})), std::nullopt);
}

TEST(RunnerTest, LimitsAreCheckedTimeFirstThenNodesThenIterations) {
  const std::vector<Rewrite> rules{rule("to-g", "(f ?a)", "(g ?a)")};
  Runner timed;
  timed.with_egraph(leaves_under("f", 2)).with_max_nodes(0).with_max_iterations(0);
  timed.with_max_time(std::chrono::nanoseconds(-1)).run(rules);
  ASSERT_EQ(timed.iterations().size(), 1u);
  EXPECT_TRUE(std::holds_alternative<StopReason::TimeLimit>(timed.stop_reason()->kind));
  EXPECT_EQ(timed.scheduler().stats(GlobalSymbol("to-g")), nullptr);

  Runner sized;
  sized.with_egraph(leaves_under("f", 2)).with_max_nodes(3).with_max_iterations(0).run(rules);
  EXPECT_EQ(sized.stop_reason(), (StopReason{StopReason::NodeLimit{4}}));
  EXPECT_THROW(sized.run(rules), InternalFailure);
}

TEST(RunnerTest, DuplicateNamesWarnAndShareStatistics) {
  Runner runner;
  const std::vector<Rewrite> rules{rule("twin", "(f ?a)", "(g ?a)"),
                                   rule("twin", "(g ?a)", "(f ?a)"),
                                   rule("single", "(h ?a)", "(h ?a)")};
  testing::internal::CaptureStderr();
  runner.with_egraph(leaves_under("f", 2)).run(rules);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'twin' appears 2 times\n");
  EXPECT_EQ(runner.stop_reason(), saturated());
  // Two iterations, two searches under the one name in each.
  EXPECT_EQ(runner.iterations().size(), 2u);
  EXPECT_EQ(runner.scheduler().stats(GlobalSymbol("twin"))->accepted_searches, 4u);
}

// Commutativity and identity elimination together: y = x + 0 merges with x,
// and then x * y and y * x both become x * x.
TEST(RunnerTest, IdentityMergesPropagateThroughCommutedProducts) {
  const std::string zero_right = "op|add|scalar=f0000000000000000;side=sr";
  EGraph egraph;
  const Id x = egraph.add(node("src|x"));
  const Id y = egraph.add(node(zero_right, {x}));
  const Id xy = egraph.add(node("op|mul", {x, y}));
  const Id yx = egraph.add(node("op|mul", {y, x}));
  const Id other = egraph.add(node("op|add|k=i1", {x, y}));
  const std::vector<Rewrite> rules{rule("commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)"),
                                   rule("identity-0", "(" + zero_right + " ?x)", "?x")};
  Runner runner;
  runner.with_egraph(std::move(egraph)).with_max_iterations(12).run(rules);
  const EGraph& result = runner.egraph();
  EXPECT_EQ(result.find(y), result.find(x));
  EXPECT_EQ(result.find(xy), result.find(yx));
  EXPECT_NE(result.find(other), result.find(xy));
  EXPECT_EQ(runner.stop_reason(), saturated());
}

}  // namespace
}  // namespace zembrik::eqsat
