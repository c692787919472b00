// The graph store: interning, id checks, marks, copies, poisoning, threads.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <thread>

#include "base/failure.hpp"
#include "store/graph_store.hpp"
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

TEST(GraphStore, EqualKeysShareOneId) {
  GraphStore s;
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

TEST(GraphStore, NanKeysInternToTheFirstAndKeepItsBits) {
  GraphStore s;
  const double first = std::bit_cast<double>(0xFFF0000000000001ULL);
  EXPECT_EQ(must(s.intern(Source{"s", one("x", ParamValue::Float(first))})), 0u);
  EXPECT_EQ(must(s.intern(Source{"s", one("x", ParamValue::Float(std::nan("9")))})), 0u);
  EXPECT_EQ(must(s.intern(Source{"s", one("x", ParamValue::Float(1.0))})), 1u);
  const NodeKey kept = s.snapshot().arena.key(0);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<Source>(kept).params[0].second.as_float()),
            0xFFF0000000000001ULL);
}

TEST(GraphStore, RejectsTheFirstInputNotBelowTheCount) {
  GraphStore s;
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

TEST(GraphStore, MarksKeepFirstMarkOrderWithoutRepeats) {
  GraphStore s;
  EXPECT_EQ(s.mark_output(0), BadNodeId{0});
  for (int i = 0; i < 3; ++i) must(s.intern(Source{std::to_string(i), {}}));
  EXPECT_EQ(s.mark_output(2), std::nullopt);
  EXPECT_EQ(s.mark_output(0), std::nullopt);
  EXPECT_EQ(s.mark_output(2), std::nullopt);
  EXPECT_EQ(s.mark_output(3), BadNodeId{3});
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0}));
}

TEST(GraphStore, ManyMarksStayLinear) {
  GraphStore s;
  constexpr NodeId kCount = 200000;
  for (NodeId i = 0; i < kCount; ++i) must(s.intern(Source{std::to_string(i), {}}));
  for (NodeId i = kCount; i-- > 0;) ASSERT_EQ(s.mark_output(i), std::nullopt);
  for (NodeId i = 0; i < kCount; ++i) ASSERT_EQ(s.mark_output(i), std::nullopt);
  const std::vector<NodeId> marks = s.outputs();
  ASSERT_EQ(marks.size(), kCount);
  EXPECT_EQ(marks.front(), kCount - 1);
  EXPECT_EQ(marks.back(), 0u);
}

TEST(GraphStore, ReadsAreIndependentCopies) {
  GraphStore s;
  must(s.intern(Source{"a", {}}));
  must(s.intern(Op{"m", one("k", ParamValue::Str("v")), {0}}));
  ASSERT_EQ(s.mark_output(1), std::nullopt);
  const StoreSnapshot snap = s.snapshot();
  must(s.intern(Op{"m", {}, {1}}));
  ASSERT_EQ(s.mark_output(2), std::nullopt);
  EXPECT_EQ(snap.arena.size(), 2u);
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(snap.arena.key(1), NodeKey(Op{"m", one("k", ParamValue::Str("v")), {0}}));

  EXPECT_EQ(s.snapshot_from(0).keys(), s.snapshot().arena.keys());
  const NodeArena tail = s.snapshot_from(1);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail.key(1), NodeKey(Op{"m", {}, {1}}));
  EXPECT_TRUE(s.snapshot_from(3).empty());
  EXPECT_TRUE(s.snapshot_from(~NodeId{0}).empty());
}

TEST(GraphStore, ArenaHoldingChecksEveryId) {
  GraphStore s;
  for (int i = 0; i < 5; ++i) must(s.intern(Source{std::to_string(i), {}}));
  const NodeId none[] = {0};
  EXPECT_EQ(s.arena_holding(std::span<const NodeId>(none, 0)).value().size(), 5u);
  const NodeId ids[] = {0, 99, 100};
  const auto held = s.arena_holding(ids);
  ASSERT_FALSE(held);
  EXPECT_EQ(held.error(), BadNodeId{99});
  EXPECT_TRUE(s.node_map().empty());
}

TEST(GraphStore, MoveKeepsIdsAndLookups) {
  GraphStore a;
  must(a.intern(Source{"x", {}}));
  must(a.intern(Op{"m", {}, {0}}));
  GraphStore b(std::move(a));
  EXPECT_EQ(b.node_count(), 2u);
  EXPECT_EQ(must(b.intern(Op{"m", {}, {0}})), 1u);
  EXPECT_EQ(a.node_count(), 0u);
}

TEST(GraphStore, GrowsThroughManyRehashes) {
  GraphStore s;
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

TEST(GraphStore, ThreadsRecordingOverlappingKeysGetOneIdPerKey) {
  GraphStore s;
  must(s.intern(Source{"root", {}}));
  constexpr int kThreads = 8;
  constexpr int kKeys = 2000;
  std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(kKeys));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kKeys; ++k) {
        const int which = (k + t * 37) % kKeys;  // every thread records every key
        ids[t][which] = must(s.intern(Op{"op", one("k", ParamValue::Int(which)), {0}}));
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(s.node_count(), kKeys + 1u);
  std::vector<bool> seen(kKeys + 1);
  for (int k = 0; k < kKeys; ++k) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(ids[t][k], ids[0][k]);
    seen[ids[0][k]] = true;
  }
  for (int i = 1; i <= kKeys; ++i) EXPECT_TRUE(seen[i]) << i;
}

TEST(Guarded, AnExceptionUnderTheLockPoisonsForGood) {
  Guarded<int> value("thing poisoned", 1);
  EXPECT_EQ(value.with([](int& v) { return ++v; }), 2);
  EXPECT_THROW(value.with([](int&) -> int { throw std::runtime_error("boom"); }),
               std::runtime_error);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      value.with([](const int& v) { return v; });
      FAIL() << "a poisoned value must stay unusable";
    } catch (const InternalFailure& e) {
      EXPECT_STREQ(e.what(), "thing poisoned");
    }
  }
}

}  // namespace
}  // namespace zembrik
