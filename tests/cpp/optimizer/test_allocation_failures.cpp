// Running out of memory part way through a mutation: the Nth allocation of
// the call fails, for every N until the call gets through, and each time the
// object must be exactly as before the call and go on working afterwards.
//
// This binary replaces the global operator new with one that can be told to
// fail, which is why it is a test program of its own.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <string>

#include "eqsat/symbol.hpp"
#include "optimizer/direct_engine.hpp"
#include "optimizer/incremental_reducer.hpp"
#include "optimizer/pipeline.hpp"
#include "store/graph.hpp"

namespace {

// Allocations left before one fails on this thread; negative never fails.
thread_local long allocations_left = -1;

void* allocate(std::size_t size) {
  if (allocations_left == 0) {
    allocations_left = -1;
    throw std::bad_alloc();
  }
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace zembrik {
namespace {

// Runs `act` with its Nth allocation failing, N = 0, 1, ... until it gets
// through; `check(n)` runs after every failure. Returns how many failed.
int fail_each_allocation(const std::function<void()>& act, const std::function<void(int)>& check) {
  for (int n = 0;; ++n) {
    allocations_left = n;
    try {
      act();
      allocations_left = -1;
      return n;
    } catch (const std::bad_alloc&) {
      allocations_left = -1;
    }
    check(n);
  }
}

ParamMap params(int k) {
  return ParamMap::from_entries(
      {{"k", ParamValue::Int(k)},
       {"name", ParamValue::Str(std::string(40, 'a' + k % 26))},
       {"nan", ParamValue::Float(std::bit_cast<double>(0x7FF0000000000000ULL + 1 + k % 3))}});
}

void fill(Graph& store, int count) {
  ASSERT_TRUE(store.intern(Source{"src", {}}).ok());
  for (int i = 1; i < count; ++i) {
    ASSERT_TRUE(store.intern(Op{"map", params(i), {NodeId(i - 1)}}).ok());
  }
}

std::string contents(const Graph& store) {
  const StoreSnapshot snapshot = store.snapshot();
  // The byte count shows a staged record left behind past the last one.
  std::string text = std::to_string(snapshot.arena.byte_size()) + ":";
  for (std::size_t i = 0; i < snapshot.arena.size(); ++i) {
    text += snapshot.arena.record(i);
    text += '\n';
  }
  for (NodeId o : snapshot.outputs) text += std::to_string(o) + ",";
  return text;
}

TEST(AllocationFailures, InternLeavesNoTrace) {
  // Every size up to a few growths of the index, whatever sizes make it grow.
  for (int count = 1; count <= 70; ++count) {
    Graph store;
    fill(store, count);
    const std::string before = contents(store);
    const Op fresh{"map", params(1000), {NodeId(count - 1)}};
    std::uint64_t id = 0;
    const int failures = fail_each_allocation(
        [&] { id = store.intern(fresh).value(); },
        [&](int n) {
          ASSERT_EQ(contents(store), before) << "allocation " << n;
          // Keys are still found under their ids.
          ASSERT_EQ(store.intern(Source{"src", {}}).value(), 0u);
          const NodeId last = count - 1;
          if (last > 0) {
            ASSERT_EQ(store.intern(Op{"map", params(last), {last - 1}}).value(), last);
          }
        });
    EXPECT_GT(failures, 0);
    EXPECT_EQ(id, NodeId(count));
    EXPECT_EQ(store.intern(fresh).value(), NodeId(count));
    EXPECT_EQ(store.node_count(), NodeId(count + 1));
  }
}

TEST(AllocationFailures, TheFirstInternAfterAdoptionLeavesNoTrace) {
  // Adopted by anchors, a graph builds its index on the first intern; a
  // failure there leaves it unindexed and as it was.
  Graph recorded;
  fill(recorded, 50);
  NodeIds anchors{0};
  for (NodeId i = 1; i < 50; ++i) anchors.push_back(i);
  std::optional<Graph> store = Graph::from_distinct_records(recorded.arena(), anchors);
  ASSERT_TRUE(store.has_value());
  const std::string before = contents(*store);
  const Op fresh{"map", params(1000), {49}};
  std::uint64_t id = 0;
  const int failures = fail_each_allocation(
      [&] { id = store->intern(fresh).value(); },
      [&](int n) { ASSERT_EQ(contents(*store), before) << "allocation " << n; });
  EXPECT_GT(failures, 0);
  EXPECT_EQ(id, 50u);
  EXPECT_EQ(store->intern(Op{"map", params(7), {6}}).value(), 7u);
  EXPECT_EQ(store->node_count(), 51u);
}

TEST(AllocationFailures, MarkingLeavesNoTrace) {
  Graph store;
  fill(store, 40);
  ASSERT_TRUE(store.mark_output(3).ok());
  const std::string before = contents(store);
  fail_each_allocation([&] { ASSERT_TRUE(store.mark_output(39).ok()); },
                       [&](int n) { ASSERT_EQ(contents(store), before) << "allocation " << n; });
  EXPECT_EQ(store.outputs(), (std::vector<NodeId>{3, 39}));
}

std::string contents(const IncrementalReducer& reducer) {
  std::string text = std::to_string(reducer.watermark()) + "/" +
                     std::to_string(reducer.total_work()) + "/" +
                     std::to_string(reducer.canon().byte_size()) + ":";
  for (std::size_t i = 0; i < reducer.canon().size(); ++i) {
    text += reducer.canon().record(i);
    text += '\n';
  }
  return text;
}

TEST(AllocationFailures, StepLeavesNoTrace) {
  Graph store;
  fill(store, 30);
  for (int i = 0; i < 30; ++i) {
    // Identities and both orders of a commutative op fold into earlier nodes.
    ASSERT_TRUE(store.intern(Op{"add", {}, {NodeId(i), NodeId(i + 1)}}).ok());
    ASSERT_TRUE(store.intern(Op{"add", {}, {NodeId(i + 1), NodeId(i)}}).ok());
    ASSERT_TRUE(store
                    .intern(Op{"mul",
                               ParamMap::from_entries({{"scalar", ParamValue::Float(1.0)},
                                                       {"side", ParamValue::Str("r")}}),
                               {NodeId(i)}})
                    .ok());
  }
  const NodeArena all = store.snapshot().arena;
  IncrementalReducer reducer;
  ASSERT_TRUE(reducer.step(all).ok());
  IncrementalReducer fed_half;
  NodeArena first_half = all;
  first_half.truncate(50);
  ASSERT_TRUE(fed_half.step(first_half).ok());
  const std::string before = contents(fed_half);
  fail_each_allocation([&] { ASSERT_TRUE(fed_half.step(all.slice_from(50)).ok()); },
                       [&](int n) { ASSERT_EQ(contents(fed_half), before) << "allocation " << n; });
  EXPECT_EQ(contents(fed_half), contents(reducer));
}

TEST(AllocationFailures, RollbackUndoesAStepThatSucceeded) {
  Graph store;
  fill(store, 100);
  const NodeArena all = store.snapshot().arena;
  NodeArena head = all;
  head.truncate(10);
  IncrementalReducer reducer;
  ASSERT_TRUE(reducer.step(head).ok());
  const std::string before = contents(reducer);
  const IncrementalReducer::Checkpoint mark = reducer.checkpoint();
  ASSERT_TRUE(reducer.step(all.slice_from(10)).ok());  // grows the canonical index
  reducer.rollback(mark);
  EXPECT_EQ(contents(reducer), before);
  ASSERT_TRUE(reducer.step(all.slice_from(10)).ok());
  IncrementalReducer at_once;
  ASSERT_TRUE(at_once.step(all).ok());
  EXPECT_EQ(contents(reducer), contents(at_once));
}

TEST(AllocationFailures, SymbolInterningLeavesNoTrace) {
  int round = 0;
  const int failures = fail_each_allocation(
      [&] {
        const std::string text = "never interned before " + std::to_string(round++);
        EXPECT_EQ(eqsat::GlobalSymbol(text).as_str(), text);
      },
      [&](int) {
        // The shard that failed serves every text, new or old.
        EXPECT_EQ(eqsat::GlobalSymbol("op|add").as_str(), "op|add");
      });
  EXPECT_GT(failures, 0);
  for (int i = 0; i < round; ++i) {
    const std::string text = "never interned before " + std::to_string(i);
    const eqsat::GlobalSymbol once(text);
    EXPECT_EQ(eqsat::GlobalSymbol(text), once);
    EXPECT_EQ(once.as_str(), text);
  }
}

TEST(AllocationFailures, ReductionFailsCleanlyAndThenWorks) {
  Graph store;
  fill(store, 20);
  ASSERT_TRUE(store.intern(Op{"add", {}, {3, 4}}).ok());
  ASSERT_TRUE(store.intern(Op{"add", {}, {4, 3}}).ok());
  const StoreSnapshot snapshot = store.snapshot();
  const std::vector<NodeId> outputs = {19, 20, 21};
  const DirectEngine engine;
  const Reduced expected = reduce_with_mode(snapshot.arena, outputs, engine, false);
  Reduced got;
  const int failures = fail_each_allocation(
      [&] { got = reduce_with_mode(snapshot.arena, outputs, engine, false); }, [](int) {});
  EXPECT_GT(failures, 10);
  EXPECT_EQ(got.report, expected.report);
  EXPECT_EQ(got.outputs, expected.outputs);
  EXPECT_EQ(got.nodes.byte_size(), expected.nodes.byte_size());
}

}  // namespace
}  // namespace zembrik
