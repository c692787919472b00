#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/failure.hpp"
#include "eqsat/machine.hpp"
#include "eqsat/pattern.hpp"
#include "eqsat/subst.hpp"
#include "test_support.hpp"

namespace zembrik::eqsat {
namespace {

Var var(const char* name) {
  return Var{GlobalSymbol(name)};
}

Pattern must_read(const char* text) {
  auto read = read_pattern(text);
  if (!read) {
    ADD_FAILURE() << to_string(read.error());
    return Pattern(PatternAst{{Var{GlobalSymbol("?failed")}}});
  }
  return std::move(read).value();
}

std::vector<Subst> all_matches(const Pattern& pattern, const EGraph& egraph) {
  std::vector<Subst> substitutions;
  for (SearchMatches& found : pattern.search_with_limit(egraph, 1'000'000)) {
    for (Subst& subst : found.substitutions) substitutions.push_back(subst);
  }
  return substitutions;
}

Subst subst_of(std::initializer_list<std::pair<const char*, Id>> pairs) {
  Subst subst;
  for (const auto& [name, id] : pairs) subst.insert(var(name), id);
  return subst;
}

TEST(CompileTest, DistinctVariablesNeedOneBind) {
  const Program program = must_read("(f ?a ?b)").program();
  EXPECT_EQ(program.instructions, (std::vector<Instruction>{Bind{node("f", {0, 0}), 0, 1}}));
  EXPECT_EQ(program.subst, subst_of({{"?a", 1}, {"?b", 2}}));
}

TEST(CompileTest, RepeatedVariableBecomesACompare) {
  const Program program = must_read("(f ?x ?x)").program();
  EXPECT_EQ(program.instructions,
            (std::vector<Instruction>{Bind{node("f", {0, 0}), 0, 1}, Compare{2, 1}}));
  EXPECT_EQ(program.subst, subst_of({{"?x", 1}}));
}

TEST(CompileTest, BoundSubtermsBecomeLookupsAndOthersBinds) {
  EXPECT_EQ(must_read("(f ?x (g c))").program().instructions,
            (std::vector<Instruction>{Bind{node("f", {0, 0}), 0, 1},
                                      Lookup{{node("c"), node("g", {0})}, 2}}));
  EXPECT_EQ(must_read("(f ?x (g ?x))").program().instructions,
            (std::vector<Instruction>{Bind{node("f", {0, 0}), 0, 1},
                                      Lookup{{Reg{1}, node("g", {0})}, 2}}));
  // A bound leaf goes first, and is checked by a Bind without children.
  EXPECT_EQ(must_read("(f c (g ?y))").program().instructions,
            (std::vector<Instruction>{Bind{node("f", {0, 0}), 0, 1}, Bind{node("c"), 1, 3},
                                      Bind{node("g", {0}), 2, 3}}));
}

struct MatchFixture : testing::Test {
  EGraph egraph;
  Id a = egraph.add(node("a"));
  Id b = egraph.add(node("b"));
  Id c = egraph.add(node("c"));
  Id d = egraph.add(node("d"));
};

TEST_F(MatchFixture, RepeatedVariableMatchesOnlyEqualChildren) {
  const Id fab = egraph.add(node("f", {a, b}));
  egraph.add(node("f", {a}));  // same operator, other arity
  egraph.rebuild();
  const Pattern pattern = must_read("(f ?x ?x)");
  EXPECT_TRUE(all_matches(pattern, egraph).empty());
  egraph.union_(a, b);
  egraph.rebuild();
  const auto found = pattern.search_with_limit(egraph, 10);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].class_id, fab);
  EXPECT_EQ(found[0].substitutions, (std::vector<Subst>{subst_of({{"?x", egraph.find(a)}})}));
  EXPECT_EQ(found[0].pattern, &pattern.ast());
}

TEST_F(MatchFixture, LookupFindsGroundSubtermsThroughTheirClass) {
  const Id gc = egraph.add(node("g", {c}));
  const Id gd = egraph.add(node("g", {d}));
  egraph.add(node("f", {a, gc}));
  egraph.add(node("f", {b, gd}));
  egraph.add(node("f", {c, egraph.add(node("g", {c, c}))}));
  egraph.rebuild();
  const Pattern ground = must_read("(f ?x (g c))");
  EXPECT_EQ(all_matches(ground, egraph), (std::vector<Subst>{subst_of({{"?x", a}})}));
  egraph.union_(gd, gc);
  egraph.rebuild();
  EXPECT_EQ(all_matches(ground, egraph),
            (std::vector<Subst>{subst_of({{"?x", a}}), subst_of({{"?x", b}})}));
}

TEST_F(MatchFixture, LookupWithARegisterComparesClasses) {
  egraph.add(node("f", {a, egraph.add(node("g", {a}))}));
  egraph.add(node("f", {b, egraph.add(node("g", {c}))}));
  egraph.rebuild();
  EXPECT_EQ(all_matches(must_read("(f ?x (g ?x))"), egraph),
            (std::vector<Subst>{subst_of({{"?x", a}})}));
}

TEST_F(MatchFixture, LoneVariableMatchesEveryClassOnce) {
  egraph.add(node("f", {a, b}));
  egraph.rebuild();
  const auto found = must_read("?v").search_with_limit(egraph, 100);
  ASSERT_EQ(found.size(), egraph.class_count());
  for (const SearchMatches& matches : found) {
    EXPECT_EQ(matches.substitutions, (std::vector<Subst>{subst_of({{"?v", matches.class_id}})}));
  }
}

TEST_F(MatchFixture, LimitCapsMatchesInAscendingClassOrder) {
  std::vector<Id> fs;
  for (Id child : {d, c, b, a}) fs.push_back(egraph.add(node("f", {child})));
  egraph.rebuild();
  const Pattern pattern = must_read("(f ?x)");
  EXPECT_TRUE(pattern.search_with_limit(egraph, 0).empty());
  for (std::size_t limit : {1u, 3u}) {
    const auto found = pattern.search_with_limit(egraph, limit);
    ASSERT_EQ(found.size(), limit);
    for (std::size_t k = 0; k < limit; ++k) EXPECT_EQ(found[k].class_id, fs[k]);
  }
  for (const SearchMatches& matches : pattern.search_with_limit(egraph, 10)) {
    EXPECT_NE(matches.class_id, a);  // a leaf holds no f node
  }
}

TEST_F(MatchFixture, BacktracksOverMembersOfNestedClasses) {
  const Id ga = egraph.add(node("g", {a}));
  const Id gb = egraph.add(node("g", {b}));
  const Id h = egraph.add(node("h", {ga}));
  egraph.union_(ga, gb);
  egraph.rebuild();
  const auto found = must_read("(h (g ?x))").search_with_limit(egraph, 10);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].class_id, h);
  EXPECT_EQ(found[0].substitutions.size(), 2u);
  const auto capped = must_read("(h (g ?x))").search_with_limit(egraph, 1);
  ASSERT_EQ(capped.size(), 1u);
  EXPECT_EQ(capped[0].substitutions.size(), 1u);
}

TEST_F(MatchFixture, SearchingADirtyEGraphFails) {
  egraph.rebuild();
  const Pattern pattern = must_read("(f ?x)");
  egraph.add(node("f", {a}));
  EXPECT_THROW((void)pattern.search_with_limit(egraph, 1), InternalFailure);
  egraph.rebuild();
  egraph.union_(a, a);
  try {
    (void)pattern.search_with_limit(egraph, 1);
    FAIL() << "no failure";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "Tried to search a dirty e-graph!");
  }
}

TEST(SubstTest, KeepsOrderPastTheInlinePairs) {
  Subst subst;
  const char* names[] = {"?p", "?q", "?r", "?s", "?t"};
  for (Id k = 0; k < 5; ++k) EXPECT_EQ(subst.insert(var(names[k]), k), std::nullopt);
  EXPECT_EQ(subst.insert(var("?s"), 40), 3u);
  EXPECT_EQ(subst.get(var("?s")), 40u);
  EXPECT_EQ(subst[var("?p")], 0u);
  EXPECT_EQ(subst.get(var("?none")), std::nullopt);
  EXPECT_THROW((void)subst[var("?none")], InternalFailure);
  ASSERT_EQ(subst.size(), 5u);
  EXPECT_EQ(subst.at(4), (Subst::Pair{var("?t"), 4}));
}

}  // namespace
}  // namespace zembrik::eqsat
