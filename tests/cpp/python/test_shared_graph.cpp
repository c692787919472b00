// The graph a GraphStore object shares between threads: reads are copies,
// the lock serializes recording, and a poisoned lock stays poisoned.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "base/failure.hpp"
#include "python/shared_graph.hpp"
#include "test_support.hpp"

namespace zembrik::py {
namespace {

NodeId must(Result<NodeId, BadNodeId> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : ~NodeId{0};
}

TEST(SharedGraph, ReadsAreIndependentCopies) {
  SharedGraph s{Graph()};
  must(s.intern(Source{"a", {}}));
  must(s.intern(Op{"m", one("k", ParamValue::Str("v")), {0}}));
  const StoreSnapshot snap = s.snapshot();
  must(s.intern(Op{"m", {}, {1}}));
  EXPECT_EQ(snap.arena.size(), 2u);
  EXPECT_TRUE(snap.outputs.empty());
  EXPECT_EQ(snap.arena.key(1), NodeKey(Op{"m", one("k", ParamValue::Str("v")), {0}}));

  EXPECT_EQ(s.snapshot_from(0).keys(), s.snapshot().arena.keys());
  const NodeArena tail = s.snapshot_from(1);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail.key(1), NodeKey(Op{"m", {}, {1}}));
  EXPECT_TRUE(s.snapshot_from(3).empty());
  EXPECT_TRUE(s.snapshot_from(~NodeId{0}).empty());
}

TEST(SharedGraph, ArenaHoldingChecksEveryId) {
  SharedGraph s{Graph()};
  for (int i = 0; i < 5; ++i) must(s.intern(Source{std::to_string(i), {}}));
  const NodeId none[] = {0};
  EXPECT_EQ(s.arena_holding(std::span<const NodeId>(none, 0)).value().size(), 5u);
  const NodeId ids[] = {0, 99, 100};
  const auto held = s.arena_holding(ids);
  ASSERT_FALSE(held);
  EXPECT_EQ(held.error(), BadNodeId{99});
  EXPECT_TRUE(s.node_map().empty());
}

TEST(SharedGraph, TakesOverAGraphWithItsMarks) {
  Graph graph;
  must(graph.intern(Source{"a", {}}));
  ASSERT_TRUE(graph.mark_output(0).ok());
  const SharedGraph s(std::move(graph));
  EXPECT_EQ(s.node_count(), 1u);
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{0}));
  EXPECT_EQ(s.snapshot().outputs, (std::vector<NodeId>{0}));
}

TEST(SharedGraph, ThreadsRecordingOverlappingKeysGetOneIdPerKey) {
  SharedGraph s{Graph()};
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
}  // namespace zembrik::py
