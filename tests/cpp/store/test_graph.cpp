// The graph value: interning, id checks, marks, moves.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "store/graph.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

NodeId must(Result<NodeId, BadNodeId> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : ~NodeId{0};
}

std::optional<BadNodeId> error_of(Result<NodeId, BadNodeId> r) {
  if (r.ok()) return std::nullopt;
  return r.error();
}

TEST(Graph, EqualKeysShareOneId) {
  Graph s;
  EXPECT_EQ(must(s.intern(Source{"src", {}})), 0u);
  EXPECT_EQ(must(s.intern(Source{"src", {}})), 0u);
  EXPECT_EQ(s.node_count(), 1u);
  EXPECT_EQ(must(s.intern(Source{"src", one("n", ParamValue::Int(1))})), 1u);
  EXPECT_EQ(must(s.intern(Source{"src", one("n", ParamValue::Float(1.0))})), 2u);
  EXPECT_EQ(must(s.intern(Source{"src", one("n", ParamValue::Float(-0.0))})), 3u);
  EXPECT_EQ(must(s.intern(Source{"src", one("n", ParamValue::Float(0.0))})), 4u);
  EXPECT_EQ(must(s.intern(Op{"add", {}, {0, 1}})), 5u);
  EXPECT_EQ(must(s.intern(Op{"add", {}, {1, 0}})), 6u);
  EXPECT_EQ(must(s.intern(Op{"add", {}, {0, 1}})), 5u);
  EXPECT_EQ(s.node_count(), 7u);
}

TEST(Graph, NanKeysInternToTheFirstAndKeepItsBits) {
  Graph s;
  const double first = std::bit_cast<double>(0xFFF0000000000001ULL);
  EXPECT_EQ(must(s.intern(Source{"s", one("x", ParamValue::Float(first))})), 0u);
  EXPECT_EQ(must(s.intern(Source{"s", one("x", ParamValue::Float(std::nan("9")))})), 0u);
  EXPECT_EQ(must(s.intern(Source{"s", one("x", ParamValue::Float(1.0))})), 1u);
  const NodeKey kept = s.arena().key(0);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<Source>(kept).params[0].second.as_float()),
            0xFFF0000000000001ULL);
}

TEST(Graph, RejectsTheFirstInputNotBelowTheCount) {
  Graph s;
  EXPECT_EQ(error_of(s.intern(Op{"m", {}, {0}})), BadNodeId{0});
  EXPECT_EQ(s.node_count(), 0u);
  for (int i = 0; i < 3; ++i) must(s.intern(Source{std::to_string(i), {}}));
  EXPECT_EQ(error_of(s.intern(Op{"m", {}, {7, 5}})), BadNodeId{7});
  EXPECT_EQ(error_of(s.intern(Op{"m", {}, {1, 3}})), BadNodeId{3});
  EXPECT_EQ(error_of(s.intern(Stage{{0, 4}, {}})), BadNodeId{4});
  EXPECT_EQ(s.node_count(), 3u);
  EXPECT_EQ(must(s.intern(Op{"m", {}, {2, 2}})), 3u);
  EXPECT_EQ(to_string(BadNodeId{7}), "BadNodeId(7)");
}

TEST(Graph, MarksKeepFirstMarkOrderWithoutRepeats) {
  Graph s;
  EXPECT_EQ(s.mark_output(0).error(), BadNodeId{0});
  for (int i = 0; i < 3; ++i) must(s.intern(Source{std::to_string(i), {}}));
  EXPECT_TRUE(s.mark_output(2).ok());
  EXPECT_TRUE(s.mark_output(0).ok());
  EXPECT_TRUE(s.mark_output(2).ok());
  EXPECT_EQ(s.mark_output(3).error(), BadNodeId{3});
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0}));
}

TEST(Graph, ManyMarksStayLinear) {
  Graph s;
  constexpr NodeId kCount = 200000;
  for (NodeId i = 0; i < kCount; ++i) must(s.intern(Source{std::to_string(i), {}}));
  for (NodeId i = kCount; i-- > 0;) ASSERT_TRUE(s.mark_output(i).ok());
  for (NodeId i = 0; i < kCount; ++i) ASSERT_TRUE(s.mark_output(i).ok());
  const std::vector<NodeId> marks = s.outputs();
  ASSERT_EQ(marks.size(), kCount);
  EXPECT_EQ(marks.front(), kCount - 1);
  EXPECT_EQ(marks.back(), 0u);
}

TEST(Graph, MoveKeepsIdsAndLookups) {
  Graph a;
  must(a.intern(Source{"x", {}}));
  must(a.intern(Op{"m", {}, {0}}));
  Graph b(std::move(a));
  EXPECT_EQ(b.node_count(), 2u);
  EXPECT_EQ(must(b.intern(Op{"m", {}, {0}})), 1u);
  EXPECT_EQ(b.arena().key(1), NodeKey(Op{"m", {}, {0}}));
}

TEST(Graph, GrowsThroughManyRehashes) {
  Graph s;
  NodeId prev = must(s.intern(Source{"src", {}}));
  for (int i = 0; i < 100000; ++i) {
    prev = must(s.intern(Op{"map", one("k", ParamValue::Int(i % 7)), {prev}}));
  }
  EXPECT_EQ(s.node_count(), 100001u);
  prev = 0;
  for (int i = 0; i < 100000; ++i) {
    const NodeId again = must(s.intern(Op{"map", one("k", ParamValue::Int(i % 7)), {prev}}));
    ASSERT_EQ(again, prev + 1);
    prev = again;
  }
  EXPECT_EQ(s.node_count(), 100001u);
}

}  // namespace
}  // namespace zembrik
