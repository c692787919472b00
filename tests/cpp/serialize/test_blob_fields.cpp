// The blob writer emits, for every tag, exactly the fields the shared record
// walk names, each in its 32-bit blob form: the blob equals one written here
// along the walk from the keys themselves.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "ir/record_layout.hpp"
#include "serialize/blob.hpp"
#include "test_support.hpp"

namespace zembrik {
namespace {

// Blob primitives, little-endian, written independently of the writer.
struct BlobBytes {
  std::string out;

  template <class T>
  void fixed(T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void u8(std::uint8_t v) { fixed(v); }
  void u32(std::uint64_t v) { fixed(static_cast<std::uint32_t>(v)); }
  void u64(std::uint64_t v) { fixed(v); }
  void str(std::string_view s) {
    u32(s.size());
    out += s;
  }
};

// The blob form of each field of a key of type K, in the walk's order.
template <class K>
struct ExpectedFields {
  BlobBytes& b;
  const K& key;

  bool name() {
    b.str(key.name);
    return true;
  }
  bool descriptor(std::size_t i) {
    b.str(key.descriptor.*kDescriptorStrings[i].member);
    return true;
  }
  bool preprocessing_ref() {
    b.u8(key.descriptor.preprocessing_ref ? 1 : 0);
    if (key.descriptor.preprocessing_ref) b.str(*key.descriptor.preprocessing_ref);
    return true;
  }
  bool params() {
    b.u32(key.params.size());
    for (const auto& [k, v] : key.params) {
      b.str(k);
      b.u8(static_cast<std::uint8_t>(v.tag()));
      switch (v.tag()) {
        case ParamValue::Tag::Int:
          b.u64(static_cast<std::uint64_t>(v.as_int()));
          break;
        case ParamValue::Tag::Float:
          b.u64(std::bit_cast<std::uint64_t>(v.as_float()));
          break;
        case ParamValue::Tag::Bool:
          b.u8(v.as_bool() ? 1 : 0);
          break;
        case ParamValue::Tag::Str:
          b.str(v.as_str());
          break;
      }
    }
    return true;
  }
  bool inputs() {
    b.u32(key.inputs.size());
    for (NodeId id : key.inputs) b.u64(id);
    return true;
  }
  bool members() {
    b.u32(key.members.size());
    for (const StageOp& m : key.members) {
      b.str(m.token);
      b.u32(m.inputs.size());
      for (const StageRef& ref : m.inputs) {
        b.u8(static_cast<std::uint8_t>(ref.tag));
        b.u32(ref.index);
      }
    }
    return true;
  }
};

TEST(BlobFields, EveryTagIsWrittenAlongTheSharedWalk) {
  const ParamMap params = ParamMap::from_entries({{"i", ParamValue::Int(-5)},
                                                  {"f", ParamValue::Float(2.5)},
                                                  {"b", ParamValue::Bool(true)},
                                                  {"s", ParamValue::Str("v")}});
  const std::vector<NodeKey> keys = {
      Source{"src", params},
      Op{"map", params, {0, 0}},
      Reduction{"sum", {}, {1}},
      External{{"k", "h", "fw", "2", "io", "prep"}, params, {2}},
      External{{"k", "h", "fw", "2", "io", std::nullopt}, {}, {}},
      Stage{{3, 4}, {StageOp{"a", {StageRef::Input(1)}}, StageOp{"b", {StageRef::Member(0)}}}},
      Exchange{params, {5}},
      Join{{}, {6, 0}},
  };
  NodeArena arena;
  for (const NodeKey& key : keys) arena.commit(arena.stage(key));
  const std::string blob = serialize_with(arena, {}).value();

  BlobBytes expected;
  expected.out = "ZIR1";
  expected.u32(keys.size());
  for (const NodeKey& key : keys) {
    expected.u8(static_cast<std::uint8_t>(key.index()));
    std::visit(
        [&](const auto& k) {
          using K = std::decay_t<decltype(k)>;
          ExpectedFields<K> fields{expected, k};
          record::walk_fields<record::tag_for<K>()>(fields);
        },
        key);
  }
  expected.u32(0);  // the empty output list
  EXPECT_EQ(blob, expected.out);
}

}  // namespace
}  // namespace zembrik
