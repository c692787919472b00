// Interning keys given as records, one by one and all at once: the same ids,
// lookups and NaN handling as interning keys.
#include <gtest/gtest.h>

#include <bit>

#include "ir/key_record.hpp"
#include "store/graph.hpp"

namespace zembrik {
namespace {

Source nan_source(std::uint64_t bits) {
  return Source{"s",
                ParamMap::from_entries({{"x", ParamValue::Float(std::bit_cast<double>(bits))}})};
}

Result<NodeId, BadNodeId> intern_as_record(Graph& s, const NodeKey& key) {
  std::string bytes;
  const bool has_nan = record::encode(key, bytes);
  return s.intern_record({bytes, has_nan, inputs_of(key)});
}

TEST(InternRecord, SharesIdsWithIntern) {
  Graph s;
  EXPECT_EQ(intern_as_record(s, Source{"a", {}}).value(), 0u);
  EXPECT_EQ(s.intern(Source{"a", {}}).value(), 0u);
  EXPECT_EQ(s.intern(Op{"m", {}, {0}}).value(), 1u);
  EXPECT_EQ(intern_as_record(s, Op{"m", {}, {0}}).value(), 1u);
  EXPECT_EQ(intern_as_record(s, nan_source(0x7FF0000000000001ULL)).value(), 2u);
  EXPECT_EQ(s.intern(nan_source(0xFFF8000000000000ULL)).value(), 2u);
  EXPECT_EQ(intern_as_record(s, Op{"m", {}, {3}}).error(), BadNodeId{3});
  EXPECT_EQ(s.node_count(), 3u);
}

TEST(FromDistinctRecords, IndexesEveryRecordUnderItsId) {
  std::vector<NodeKey> keys = {Source{"src", {}}, nan_source(0x7FF0000000000005ULL)};
  for (NodeId i = 1; i < 5000; ++i) {
    keys.push_back(Op{"map", ParamMap::from_entries({{"k", ParamValue::Int(i % 7)}}), {i}});
  }
  NodeArena arena;
  for (const NodeKey& key : keys) arena.commit(arena.stage(key));
  std::optional<Graph> store = Graph::from_distinct_records(arena);
  ASSERT_TRUE(store.has_value());
  for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(store->intern(keys[i]).value(), i);
  EXPECT_EQ(store->intern(nan_source(0x7FF8000000000000ULL)).value(), 1u);
  EXPECT_EQ(store->intern(Source{"new", {}}).value(), keys.size());

  for (const NodeKey& repeat : {keys[0], NodeKey(nan_source(0xFFF0000000000002ULL))}) {
    NodeArena with_repeat = arena;
    with_repeat.commit(with_repeat.stage(repeat));
    EXPECT_FALSE(Graph::from_distinct_records(with_repeat).has_value());
  }
}

}  // namespace
}  // namespace zembrik
