#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/failure.hpp"
#include "eqsat/egraph.hpp"
#include "eqsat/hash_cons.hpp"
#include "test_names.hpp"
#include "test_support.hpp"

namespace zembrik::eqsat {
namespace {

std::vector<SymbolLang> members_of(const EGraph& egraph, Id id) {
  const auto& members = egraph[id].members;
  return {members.begin(), members.end()};
}

TEST(EGraphTest, AddingAnEqualNodeAgainReturnsItsClass) {
  EGraph egraph;
  const Id x = egraph.add(node("x"));
  const Id fx = egraph.add(node("f", {x}));
  egraph.rebuild();
  EXPECT_EQ(egraph.add(node("f", {x})), fx);
  EXPECT_TRUE(egraph.is_clean());
  EXPECT_EQ(egraph.class_count(), 2u);
  EXPECT_EQ(egraph.node_count(), 2u);
  EXPECT_EQ(egraph.lookup(node("f", {x})), fx);
  EXPECT_EQ(egraph.lookup(node("f", {fx})), std::nullopt);
}

TEST(EGraphTest, CongruenceMergesUsersOfMergedClasses) {
  EGraph egraph;
  const Id x = egraph.add(node("x"));
  const Id y = egraph.add(node("y"));
  const Id ax = egraph.add(node("a", {x}));
  const Id ay = egraph.add(node("a", {y}));
  egraph.rebuild();
  EXPECT_TRUE(egraph.union_(x, y));
  EXPECT_FALSE(egraph.is_clean());
  EXPECT_EQ(egraph.rebuild(), 1u);
  EXPECT_EQ(egraph.find(ax), egraph.find(ay));
  EXPECT_EQ(egraph.class_count(), 2u);
  // The stale keys stay: a(x), a(y) plus the re-canonicalised one.
  EXPECT_GE(egraph.node_count(), 4u);
}

class CongruenceChainTest : public testing::TestWithParam<int> {};

TEST_P(CongruenceChainTest, EveryLevelOfTwoChainsMerges) {
  const int depth = GetParam();
  EGraph egraph;
  std::vector<Id> left{egraph.add(node("x"))};
  std::vector<Id> right{egraph.add(node("y"))};
  for (int level = 1; level <= depth; ++level) {
    // Alternate operators, and give the right chain a useless sibling, so that
    // the two sides do not look alike to anything but congruence.
    const char* op = level % 2 ? "f" : "g";
    left.push_back(egraph.add(node(op, {left.back()})));
    egraph.add(node("h", {right.back(), right.back()}));
    right.push_back(egraph.add(node(op, {right.back()})));
  }
  egraph.rebuild();
  const std::size_t classes = egraph.class_count();
  egraph.union_(left.front(), right.front());
  EXPECT_EQ(egraph.rebuild(), static_cast<std::size_t>(depth));
  for (int level = 0; level <= depth; ++level) {
    EXPECT_EQ(egraph.find(left[level]), egraph.find(right[level])) << "level " << level;
  }
  EXPECT_EQ(egraph.class_count(), classes - depth - 1);
}

INSTANTIATE_TEST_SUITE_P(Depths, CongruenceChainTest, testing::Values(1, 2, 7, 40),
                         numbered("Depth"));

TEST(EGraphTest, UnionOfOneClassIsFalseButDirties) {
  EGraph egraph;
  const Id x = egraph.add(node("x"));
  egraph.rebuild();
  EXPECT_FALSE(egraph.union_(x, x));
  EXPECT_FALSE(egraph.is_clean());
}

TEST(EGraphTest, UnionKeepsTheClassWithMoreUsersAndTheFirstOnATie) {
  EGraph egraph;
  const Id a = egraph.add(node("a"));
  const Id b = egraph.add(node("b"));
  const Id c = egraph.add(node("c"));
  const Id d = egraph.add(node("d"));
  egraph.add(node("u", {d}));
  EXPECT_TRUE(egraph.union_(a, b));
  EXPECT_EQ(egraph.find(b), a);
  EXPECT_TRUE(egraph.union_(c, d));
  EXPECT_EQ(egraph.find(c), d);
  egraph.rebuild();
  EXPECT_EQ(egraph[c].id, d);
}

TEST(EGraphTest, RebuildLeavesMembersSortedUniqueAndCanonical) {
  EGraph egraph;
  const Id one = egraph.add(node("1"));
  const Id two = egraph.add(node("2"));
  const Id f1 = egraph.add(node("f", {one}));
  const Id f2 = egraph.add(node("f", {two}));
  const Id g2 = egraph.add(node("g", {two}));
  egraph.union_(g2, f2);
  egraph.union_(one, two);
  egraph.rebuild();
  const Id root12 = egraph.find(one);
  // Sorted by operator handle, which need not be the order of the texts.
  std::vector<SymbolLang> expected{node("f", {root12}), node("g", {root12})};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(members_of(egraph, f1), expected);
  EXPECT_EQ(egraph.find(f1), egraph.find(g2));
}

TEST(EGraphTest, ClassIndexListsClassesByOperatorInAscendingOrder) {
  EGraph egraph;
  const Id x = egraph.add(node("x"));
  const Id fx = egraph.add(node("f", {x}));
  const Id y = egraph.add(node("y"));
  const Id fy = egraph.add(node("f", {y}));
  const Id gy = egraph.add(node("g", {y}));
  EXPECT_TRUE(egraph.class_index(GlobalSymbol("f")).empty());
  egraph.union_(gy, x);
  egraph.rebuild();
  auto as_vector = [](std::span<const Id> ids) { return std::vector<Id>(ids.begin(), ids.end()); };
  EXPECT_EQ(as_vector(egraph.class_index(GlobalSymbol("f"))), (std::vector<Id>{fx, fy}));
  EXPECT_EQ(as_vector(egraph.class_index(GlobalSymbol("g"))), (std::vector<Id>{egraph.find(x)}));
  EXPECT_EQ(as_vector(egraph.class_index(GlobalSymbol("x"))), (std::vector<Id>{egraph.find(x)}));
  EXPECT_EQ(egraph.class_ids(), (std::vector<Id>{egraph.find(x), fx, y, fy}));
}

TEST(EGraphTest, IdsOutsideTheGraphAreInternalFailures) {
  EGraph egraph;
  egraph.add(node("x"));
  EXPECT_THROW((void)egraph.find(1), InternalFailure);
  EXPECT_THROW((void)egraph.add(node("f", {7})), InternalFailure);
  EXPECT_THROW((void)egraph[3], InternalFailure);
}

TEST(EGraphTest, NodesWithManyChildrenLiveOnTheHeap) {
  EGraph egraph;
  const Id a = egraph.add(node("a"));
  const Id b = egraph.add(node("b"));
  const Id wide = egraph.add(node("w", {a, b, a, b}));
  const Id other = egraph.add(node("w", {a, b, b, b}));
  egraph.union_(a, b);
  EXPECT_EQ(egraph.rebuild(), 1u);
  EXPECT_EQ(egraph.find(wide), egraph.find(other));
  const Id root = egraph.find(a);
  EXPECT_EQ(members_of(egraph, wide),
            (std::vector<SymbolLang>{node("w", {root, root, root, root})}));
}

TEST(HashConsTest, FindsEveryKeyAcrossGrowthAndReplacesIds) {
  HashCons memo;
  for (Id k = 0; k < 5000; ++k) {
    EXPECT_TRUE(memo.try_emplace(node("n", {k, k / 3}), k).second);
  }
  for (Id k = 0; k < 5000; ++k) {
    const Id* found = memo.find(node("n", {k, k / 3}));
    ASSERT_NE(found, nullptr) << k;
    EXPECT_EQ(*found, k);
  }
  EXPECT_EQ(memo.find(node("n", {1, 1})), nullptr);
  EXPECT_FALSE(memo.try_emplace(node("n", {7, 2}), 99).second);
  EXPECT_EQ(memo.insert_or_assign(node("n", {7, 2}), 70), 7u);
  EXPECT_EQ(*memo.find(node("n", {7, 2})), 70u);
  EXPECT_EQ(memo.size(), 5000u);
}

}  // namespace
}  // namespace zembrik::eqsat
