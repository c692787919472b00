// Reading blobs: every error with its message, in reading order; repeated
// records; and the loose readings (unsorted keys, flags, trailing bytes).
#include <gtest/gtest.h>

#include "serialize/blob.hpp"
#include "test_names.hpp"

namespace zembrik {
namespace {

// Hand-built blob bytes: each call appends one little-endian field.
struct Bytes {
  std::string data;

  Bytes& raw(std::string_view s) {
    data += s;
    return *this;
  }
  Bytes& le(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) data += static_cast<char>(v >> (8 * i));
    return *this;
  }
  Bytes& u8(std::uint8_t v) { return le(v, 1); }
  Bytes& u32(std::uint32_t v) { return le(v, 4); }
  Bytes& u64(std::uint64_t v) { return le(v, 8); }
  Bytes& str(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
  Bytes& ids(std::initializer_list<std::uint64_t> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (std::uint64_t id : ids) u64(id);
    return *this;
  }
  static Bytes header(std::uint32_t records) { return Bytes().raw("ZIR1").u32(records); }
  Bytes& source(std::string_view name) { return u8(0).str(name).u32(0); }
  Bytes& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    return u8(1).str(name).u32(0).ids(inputs);
  }
  Bytes& outputs(std::initializer_list<std::uint64_t> list) { return ids(list); }
};

Graph load(const std::string& blob) {
  Result<Graph, BlobError> store = deserialize(blob);
  if (!store.ok()) ADD_FAILURE() << store.error().message();
  return store.ok() ? std::move(store).value() : Graph();
}

// A Stage at position 1 over input [0]: member 0 without operands, member 1
// with `refs`.
std::string stage_blob(std::initializer_list<std::pair<std::uint8_t, std::uint32_t>> refs) {
  Bytes b = Bytes::header(2).source("a").u8(4).u32(1).u64(0).u32(2).str("op|f").u32(0);
  b.str("op|g").u32(static_cast<std::uint32_t>(refs.size()));
  for (const auto& [tag, index] : refs) b.u8(tag).u32(index);
  return b.outputs({}).data;
}

const char* const kCut = "truncated zembrik IR blob";
const char* const kMagic = "not a zembrik IR blob (bad magic/version)";
const char* const kUtf8 = "invalid utf-8 in zembrik IR blob";

struct Fault {
  const char* name;
  std::string blob;
  const char* message;
};

class DeserializeRejects : public testing::TestWithParam<Fault> {};

TEST_P(DeserializeRejects, WithTheFirstFault) {
  Result<Graph, BlobError> store = deserialize(GetParam().blob);
  ASSERT_FALSE(store.ok());
  EXPECT_EQ(store.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeserializeRejects,
    testing::Values(
        Fault{"Empty", std::string(), kCut}, Fault{"ShortMagic", std::string("ZIR"), kCut},
        Fault{"OtherVersion", std::string("ZIR2"), kMagic},
        Fault{"OtherMagic", std::string("abcdefgh"), kMagic},
        Fault{"ShortCount", std::string("ZIR1\0\0\0", 7), kCut},
        Fault{"NoOutputs", Bytes::header(0).data, kCut},
        Fault{"NodeTag", Bytes::header(1).u8(7).data, "invalid node tag 7"},
        Fault{"ParamTag", Bytes::header(1).u8(0).str("a").u32(1).str("k").u8(4).data,
              "invalid param tag 4"},
        Fault{"StageRefTag", stage_blob({{2, 0}}), "invalid stage-ref tag 2"},
        Fault{"BadByteInName", Bytes::header(1).u8(0).str("a\xff").data, kUtf8},
        Fault{"SurrogateName", Bytes::header(1).u8(0).str("\xed\xa0\x80").data, kUtf8},
        Fault{"OverlongName", Bytes::header(1).u8(0).str("\xc0\x80").data, kUtf8},
        Fault{"CutStrParam",
              Bytes::header(1).u8(0).str("a").u32(1).str("k").u8(3).str("\xe2\x82").data, kUtf8},
        Fault{"SelfReference", Bytes::header(1).op("m", {0}).data, "node reference 0 out of range"},
        Fault{"ForwardReference", Bytes::header(2).source("a").op("m", {0, 5}).data,
              "node reference 5 out of range"},
        Fault{"MemberOwnReference", stage_blob({{1, 1}}), "node reference 1 out of range"},
        Fault{"MissingStageInput", stage_blob({{0, 0}, {0, 1}}), "node reference 1 out of range"},
        Fault{"OutputOutOfRange", Bytes::header(1).source("a").outputs({0, 1}).data,
              "node reference 1 out of range"},
        Fault{"CutOutputs", Bytes::header(1).source("a").u32(2).u64(0).data, kCut},
        // Counts the remaining bytes cannot hold end as truncated, not as
        // allocations of their size.
        Fault{"HugeRecordCount", Bytes::header(0xFFFFFFFF).source("a").data, kCut},
        Fault{"HugeNameLength", Bytes::header(1).u8(0).u32(0xFFFFFFFF).data, kCut},
        Fault{"HugeMemberCount", Bytes::header(1).u8(4).u32(0).u32(0xFFFFFFFF).data, kCut},
        // Fields are checked in order: the name before a later reference.
        Fault{"NameBeforeReference", Bytes::header(1).u8(1).str("\xff").u32(0).u32(1).u64(9).data,
              kUtf8}),
    by_name);

TEST(Deserialize, ARepeatedRecordInternsToTheFirstAndLaterReferencesStayRight) {
  // [src a, src a, src b, src c, op g [2, 3]]: g must consume b and c.
  Bytes b = Bytes::header(5).source("a").source("a").source("b").source("c");
  Graph s = load(b.op("g", {2, 3}).outputs({4, 1, 0}).data);
  ASSERT_EQ(s.node_count(), 4u);
  EXPECT_EQ(s.snapshot().arena.key(3), NodeKey(Op{"g", {}, {1, 2}}));
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{3, 0}));
}

// Repeats where most records are told apart without hashing: among many
// consumers of one record, among sources, and as NaNs of other payloads.
struct HiddenRepeat {
  const char* name;
  std::string blob;
  std::uint64_t nodes;  // after the repeat interns to the first
  NodeKey last;         // the last record, its input remapped
};

class DeserializeFindsARepeat : public testing::TestWithParam<HiddenRepeat> {};

TEST_P(DeserializeFindsARepeat, AndRemapsLaterReferences) {
  Graph s = load(GetParam().blob);
  ASSERT_EQ(s.node_count(), GetParam().nodes);
  EXPECT_EQ(s.snapshot().arena.key(s.node_count() - 1), GetParam().last);
  // Interning after the read finds the records read.
  EXPECT_EQ(s.intern(GetParam().last).value(), s.node_count() - 1);
}

std::string fan_out_blob() {
  Bytes b = Bytes::header(23).source("a");
  for (int i = 0; i < 20; ++i) b.op("m" + std::to_string(i), {0});
  return b.op("m5", {0}).op("g", {21}).outputs({}).data;
}

std::string sources_blob() {
  Bytes b = Bytes::header(12);
  for (int i = 0; i < 10; ++i) b.source("s" + std::to_string(i));
  return b.source("s3").op("g", {10}).outputs({}).data;
}

std::string nan_blob() {
  Bytes b = Bytes::header(3);
  for (std::uint64_t bits : {0x7FF0000000000001ULL, 0x7FF8000000000002ULL}) {
    b.u8(0).str("s").u32(1).str("f").u8(1).u64(bits);
  }
  return b.op("g", {1}).outputs({}).data;
}

INSTANTIATE_TEST_SUITE_P(
    Blobs, DeserializeFindsARepeat,
    testing::Values(HiddenRepeat{"FanOut", fan_out_blob(), 22, Op{"g", {}, {6}}},
                    HiddenRepeat{"Sources", sources_blob(), 11, Op{"g", {}, {3}}},
                    HiddenRepeat{"NanPayloads", nan_blob(), 2, Op{"g", {}, {0}}}),
    by_name);

TEST(Deserialize, LooseReadings) {
  // Keys out of order are sorted stably, any nonzero Bool or presence byte
  // counts as set, outputs mark once, and trailing bytes are ignored.
  Bytes b = Bytes::header(2);
  b.u8(0).str("s").u32(3);  // a Source with b = 1, a = Bool 7, b = 0
  b.str("b").u8(0).u64(1).str("a").u8(2).u8(7).str("b").u8(0).u64(0);
  b.u8(3);  // an External whose presence byte is 9
  for (const char* field : {"k", "h", "f", "v", "io"}) b.str(field);
  b.u8(9).str("p").u32(0).u32(0);
  Graph s = load(b.outputs({1, 1, 0}).raw("junk").data);
  const ParamMap sorted = ParamMap::from_entries(
      {{"a", ParamValue::Bool(true)}, {"b", ParamValue::Int(1)}, {"b", ParamValue::Int(0)}});
  EXPECT_EQ(s.snapshot().arena.key(0), NodeKey(Source{"s", sorted}));
  EXPECT_EQ(s.intern(Source{"s", sorted}).value(), 0u);  // stored canonically
  EXPECT_EQ(s.snapshot().arena.key(1), NodeKey(External{{"k", "h", "f", "v", "io", "p"}, {}, {}}));
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{1, 0}));
}

}  // namespace
}  // namespace zembrik
