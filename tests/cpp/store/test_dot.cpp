// DOT rendering: exact text, label escaping, output marks and edge order.
#include <gtest/gtest.h>

#include "store/dot.hpp"

namespace zembrik {
namespace {

TEST(ToDot, EmptyStoreAndWorkedExample) {
  Graph s;
  EXPECT_EQ(to_dot(s), "digraph zembrik {\n}\n");
  (void)s.intern(Source{"a", {}});
  (void)s.intern(Op{
      "add",
      ParamMap::from_entries({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(0.0)}}),
      {0}});
  ASSERT_TRUE(s.mark_output(1).ok());
  ASSERT_TRUE(s.mark_output(1).ok());
  EXPECT_EQ(to_dot(s),
            "digraph zembrik {\n"
            "  n0 [label=\"Source a\"];\n"
            "  n1 [label=\"Op add {scalar=0, side=\\\"r\\\"}\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(ToDot, EscapingMarksAndEdgeOrder) {
  Graph s;
  (void)s.intern(Source{"a\\\"b\n\tc", {}});  // backslash, quote, raw line feed and tab
  (void)s.intern(Source{"y", {}});
  (void)s.intern(Join{{}, {1, 0}});
  (void)s.intern(Stage{{2, 2}, {StageOp{"op|f", {StageRef::Input(0), StageRef::Input(1)}}}});
  ASSERT_TRUE(s.mark_output(3).ok());
  ASSERT_TRUE(s.mark_output(0).ok());
  EXPECT_EQ(to_dot(s),
            "digraph zembrik {\n"
            "  n0 [label=\"Source a\\\\\\\"b\n\tc\", shape=doublecircle];\n"
            "  n1 [label=\"Source y\"];\n"
            "  n2 [label=\"Join\"];\n"
            "  n3 [label=\"Stage[1 members]\", shape=doublecircle];\n"
            "  n1 -> n2;\n"
            "  n0 -> n2;\n"
            "  n2 -> n3;\n"
            "  n2 -> n3;\n"
            "}\n");
}

}  // namespace
}  // namespace zembrik
