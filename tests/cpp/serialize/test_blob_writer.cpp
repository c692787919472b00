// Writing blobs and reading them back: a round trip of every kind of node,
// the 32-bit limits, and seeded mutations of the written bytes (truncations,
// bit flips, huge counts, random tags), each of which must load or fail with
// an error. Under the sanitizers the mutations show that no input reads out
// of bounds. (The worked example's exact bytes are checked from Python.)
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <set>

#include "serialize/blob.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

std::string blob_of(const Graph& store, std::vector<NodeId> outputs) {
  return serialize_with(store.arena(), outputs).value();
}

// Every kind of node and value, a NaN with a payload, -0.0 and a stage.
void fill(Graph& s) {
  const auto id = [&](NodeKey key) { return s.intern(key).value(); };
  const NodeId src = id(Source{"s\xc3\xa9", one("n", ParamValue::Int(-3))});
  const NodeId op =
      id(Op{"map",
            ParamMap::from_entries(
                {{"f", ParamValue::Float(std::bit_cast<double>(0xFFF0000000000123ULL))},
                 {"z", ParamValue::Float(-0.0)},
                 {"b", ParamValue::Bool(true)},
                 {"s", ParamValue::Str("x")}}),
            {src, src}});
  const NodeId ext =
      id(External{{"k", "h", "f", "2", "io", "prep"}, {}, {id(Reduction{"sum", {}, {op}})}});
  const NodeId ext2 = id(External{{"k", "h", "f", "2", "io", {}}, {}, {}});
  const NodeId stage = id(Stage{{ext, ext2},
                                {StageOp{"op|add", {StageRef::Input(0), StageRef::Input(1)}},
                                 StageOp{"red|sum", {StageRef::Member(0)}}}});
  id(Join{{}, {id(Exchange{one("scheme", ParamValue::Str("hash")), {stage}}), src}});
}

TEST(SerializeWith, RoundTripKeepsIdsKeysAndBytes) {
  EXPECT_EQ(blob_of(Graph(), {}), std::string("ZIR1\0\0\0\0\0\0\0\0", 12));
  Graph s;
  fill(s);
  const std::string blob = blob_of(s, {5, 0});
  Result<Graph, BlobError> copy = deserialize(blob);
  ASSERT_TRUE(copy.ok()) << copy.error().message();
  EXPECT_EQ(copy.value().snapshot().arena.keys(), s.snapshot().arena.keys());
  EXPECT_EQ(copy.value().outputs(), (std::vector<NodeId>{5, 0}));
  // Byte-identical again, so the NaN payload and the sign of zero survived.
  EXPECT_EQ(blob_of(copy.value(), copy.value().outputs()), blob);
  // The rebuilt index finds every node and still takes new ones.
  for (const NodeKey& key : s.snapshot().arena.keys()) {
    EXPECT_EQ(copy.value().intern(key).value(), s.intern(key).value());
  }
  EXPECT_EQ(copy.value().intern(Source{"new", {}}).value(), s.node_count());
}

TEST(SerializeWith, RefusesCountsAboveTheLimit) {
  // The limit is lowered to 2; each key holds one field with a count of 3.
  const NodeKey keys[] = {
      Source{"abc", {}},
      Source{"b", ParamMap::from_entries({{"x", ParamValue::Int(1)},
                                          {"y", ParamValue::Int(2)},
                                          {"z", ParamValue::Int(3)}})},
      Op{"m", {}, {0, 0, 0}},
      Stage{{0}, {StageOp{"a", {}}, StageOp{"b", {}}, StageOp{"c", {}}}},
      Stage{{0}, {StageOp{"a", {StageRef::Input(0), StageRef::Input(0), StageRef::Input(0)}}}},
      Stage{{0}, {StageOp{"a", {StageRef::Input(3)}}}},
  };
  for (const NodeKey& key : keys) {
    Graph s;
    (void)s.intern(Source{"a", {}});
    (void)s.intern(key);
    EXPECT_EQ(serialize_with(s.snapshot().arena, std::vector<NodeId>{0}, 2).error(),
              BlobTooLarge{3});
  }
  Graph s;
  for (const char* name : {"a", "b", "c"}) (void)s.intern(Source{name, {}});
  const NodeArena arena = s.snapshot().arena;
  EXPECT_EQ(serialize_with(arena, {}, 2).error(), BlobTooLarge{3});
  EXPECT_EQ(serialize_with(arena, std::vector<NodeId>{0, 1, 2, 0}, 3).error(), BlobTooLarge{4});
  EXPECT_TRUE(serialize_with(arena, std::vector<NodeId>{0, 1, 2}, 3).ok());
}

// The error kind of a blob that does not load; -1 for one that loads, after
// checking that what it writes reads back to the same bytes.
int outcome(const std::string& blob) {
  Result<Graph, BlobError> store = deserialize(blob);
  if (!store.ok()) return static_cast<int>(store.error().kind);
  const std::string written = blob_of(store.value(), store.value().outputs());
  Result<Graph, BlobError> again = deserialize(written);
  EXPECT_TRUE(again.ok() && blob_of(again.value(), again.value().outputs()) == written);
  return -1;
}

TEST(BlobMutation, Truncations) {
  Graph s;
  fill(s);
  const std::string blob = blob_of(s, {5});
  for (std::size_t n = 0; n < blob.size(); ++n) {
    EXPECT_EQ(deserialize(blob.substr(0, n)).error(), BlobError::truncated()) << n;
  }
}

TEST(BlobMutation, BitFlipsReachEveryCheck) {
  Graph s;
  fill(s);
  const std::string blob = blob_of(s, {5});
  std::set<int> seen;
  for (std::size_t bit = 0; bit < blob.size() * 8; ++bit) {
    std::string mutated = blob;
    mutated[bit / 8] = static_cast<char>(mutated[bit / 8] ^ (1 << (bit % 8)));
    seen.insert(outcome(mutated));
  }
  EXPECT_EQ(seen, (std::set<int>{-1, 0, 1, 2, 3, 4}));  // stores and all five errors
}

TEST(BlobMutation, SeededRandomEdits) {
  Graph s;
  fill(s);
  const std::string blob = blob_of(s, {5, 0});
  std::mt19937_64 random(20240607);
  const std::uint32_t huge[] = {0xFFFFFFFF, 0x80000000, 0x10000, 256};
  for (int round = 0; round < 20000; ++round) {
    std::string mutated = blob;
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0 && !mutated.empty(); --edits) {
      const std::size_t at = random() % mutated.size();
      switch (random() % 4) {
        case 0: {  // a huge count or length over four bytes
          if (at + 4 > mutated.size()) break;
          const std::uint32_t v = huge[random() % std::size(huge)];
          for (int i = 0; i < 4; ++i) mutated[at + i] = static_cast<char>(v >> (8 * i));
          break;
        }
        case 1:  // a small value, as tags and flags take
          mutated[at] = static_cast<char>(random() % 9);
          break;
        case 2:
          mutated[at] = static_cast<char>(random());
          break;
        case 3:  // bytes cut out, shifting the rest
          mutated.erase(at, 1 + random() % 8);
          break;
      }
    }
    outcome(mutated);
  }
}

}  // namespace
}  // namespace zembrik
