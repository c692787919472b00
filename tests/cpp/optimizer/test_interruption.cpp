// Long operations stop at an interruption point when the installed check
// asks them to, and leave what they change as it was.
#include <gtest/gtest.h>

#include "base/interrupt.hpp"
#include "optimizer/direct_engine.hpp"
#include "optimizer/incremental_reducer.hpp"
#include "optimizer/reduced_graph.hpp"
#include "serialize/blob.hpp"
#include "store/dot.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

// Throws Interrupted at its `after`-th check, and counts the checks.
class InterruptAt final : public InterruptCheck {
 public:
  explicit InterruptAt(int after) : after_(after) {}
  void check() override {
    if (++checks == after_) throw Interrupted();
  }
  int checks = 0;

 private:
  int after_;
};

// A chain with commutative pairs and identities, long enough for many checks.
NodeArena chain(std::size_t n) {
  std::vector<NodeKey> keys{Source{"s", {}}};
  for (NodeId i = 1; i < n; ++i) {
    if (i % 3 == 0) {
      keys.push_back(Op{"add", {}, {i - 1, i / 2}});
    } else if (i % 3 == 1) {
      keys.push_back(Op{"mul", scalar(1.0, "r"), {i - 1}});
    } else {
      keys.push_back(Op{"map", one("k", ParamValue::Int(i % 7)), {i - 1}});
    }
  }
  return arena_of(keys);
}

constexpr std::size_t kNodes = 40 * InterruptPoints::kStride;

TEST(Interruption, AnInterruptedStepLeavesTheReducerAsItWas) {
  const NodeArena nodes = chain(kNodes);
  IncrementalReducer reducer;
  ASSERT_EQ(reducer.step(chain(10)).value(), 10u);  // the first nodes of `nodes`
  const NodeArena rest = nodes.slice_from(10);
  const IncrementalReducer::Checkpoint before = reducer.checkpoint();
  for (int after : {1, 5, 30}) {
    InterruptAt check(after);
    const ScopedInterruptCheck installed(check);
    EXPECT_THROW((void)reducer.step(rest), Interrupted);
    const IncrementalReducer::Checkpoint now = reducer.checkpoint();
    EXPECT_EQ(now.consumed, before.consumed);
    EXPECT_EQ(now.canonical, before.canonical);
    EXPECT_EQ(now.total_work, before.total_work);
  }
  // Undisturbed, the same step goes through.
  EXPECT_EQ(reducer.step(rest).value(), kNodes - 10);
}

TEST(Interruption, EveryLongOperationStopsWhenAsked) {
  const NodeArena nodes = chain(kNodes);
  const std::vector<NodeId> last = {kNodes - 1};
  const std::string blob = serialize_with(nodes, last).value();
  const DirectEngine engine;
  const auto operations = {
      +[](const NodeArena& n, std::span<const NodeId> o, const std::string&,
          const RewriteEngine& e) { (void)reduce_with_outputs(n, o, e, false); },
      +[](const NodeArena& n, std::span<const NodeId> o, const std::string&, const RewriteEngine&) {
        (void)cone(n, o);
      },
      +[](const NodeArena& n, std::span<const NodeId> o, const std::string&, const RewriteEngine&) {
        (void)render_dot(n, o);
      },
      +[](const NodeArena& n, std::span<const NodeId> o, const std::string&, const RewriteEngine&) {
        (void)serialize_with(n, o);
      },
      +[](const NodeArena&, std::span<const NodeId>, const std::string& b, const RewriteEngine&) {
        (void)deserialize(b);
      },
  };
  for (const auto& operation : operations) {
    InterruptAt check(3);
    const ScopedInterruptCheck installed(check);
    EXPECT_THROW(operation(nodes, std::span<const NodeId>(last), blob, engine), Interrupted);
  }
  // With no check installed nothing is looked at.
  EXPECT_TRUE(reduce_with_outputs(nodes, last, engine, false).ok());
}

}  // namespace
}  // namespace zembrik
