// The blob writer emits, for every tag, exactly the fields the shared record
// walk names, each in its 32-bit blob form: a blob read back along the walk
// yields the key's own fields and ends where the output list begins.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <stdexcept>

#include "ir/record_layout.hpp"
#include "serialize/blob.hpp"

namespace zembrik {
namespace {

// Reads blob fields little-endian from a byte string, checking the bounds.
class BlobCursor {
 public:
  explicit BlobCursor(std::string_view bytes) : bytes_(bytes) {}

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
  std::uint32_t u32() { return fixed<std::uint32_t>(); }
  std::uint64_t u64() { return fixed<std::uint64_t>(); }
  std::string str() {
    const std::uint32_t n = u32();
    return std::string(take(n));
  }
  std::size_t at() const { return at_; }

 private:
  template <class T>
  T fixed() {
    T v;
    std::memcpy(&v, take(sizeof v).data(), sizeof v);
    return v;
  }
  std::string_view take(std::size_t n) {
    if (bytes_.size() - at_ < n) throw std::out_of_range("blob ends early");
    const std::string_view s = bytes_.substr(at_, n);
    at_ += n;
    return s;
  }

  std::string_view bytes_;
  std::size_t at_ = 0;
};

// Rebuilds a key of type K from blob fields, in the walk's order.
template <class K>
struct BlobKeyReader {
  BlobCursor& in;
  K key{};

  bool name() {
    key.name = in.str();
    return true;
  }
  bool descriptor(std::size_t i) {
    key.descriptor.*record::kDescriptorStrings[i] = in.str();
    return true;
  }
  bool preprocessing_ref() {
    if (in.u8() != 0) key.descriptor.preprocessing_ref = in.str();
    return true;
  }
  bool params() {
    std::vector<ParamEntry> entries;
    for (std::uint32_t n = in.u32(); n > 0; --n) {
      std::string k = in.str();
      switch (static_cast<ParamValue::Tag>(in.u8())) {
        case ParamValue::Tag::Int:
          entries.emplace_back(k, ParamValue::Int(static_cast<std::int64_t>(in.u64())));
          break;
        case ParamValue::Tag::Float:
          entries.emplace_back(k, ParamValue::Float(std::bit_cast<double>(in.u64())));
          break;
        case ParamValue::Tag::Bool:
          entries.emplace_back(k, ParamValue::Bool(in.u8() != 0));
          break;
        case ParamValue::Tag::Str:
          entries.emplace_back(k, ParamValue::Str(in.str()));
          break;
      }
    }
    key.params = ParamMap::from_entries(std::move(entries));
    return true;
  }
  bool inputs() {
    key.inputs.resize(in.u32());
    for (NodeId& id : key.inputs) id = in.u64();
    return true;
  }
  bool members() {
    key.members.resize(in.u32());
    for (StageOp& m : key.members) {
      m.token = in.str();
      m.inputs.resize(in.u32(), StageRef::Input(0));
      for (StageRef& ref : m.inputs) {
        ref.tag = static_cast<StageRef::Tag>(in.u8());
        ref.index = in.u32();
      }
    }
    return true;
  }
};

TEST(BlobFields, EveryTagReadsBackAlongTheSharedWalk) {
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

  BlobCursor in(blob);
  in.u32();  // the magic
  ASSERT_EQ(in.u32(), keys.size());
  for (const NodeKey& key : keys) {
    const auto tag = static_cast<NodeTag>(in.u8());
    ASSERT_EQ(tag, tag_of(key));
    const NodeKey read = record::visit_tag(tag, [&](auto t) -> NodeKey {
      BlobKeyReader<record::KeyOf<decltype(t)::value>> fields{in};
      record::walk_fields<decltype(t)::value>(fields);
      return std::move(fields.key);
    });
    EXPECT_EQ(read, key) << "tag " << key.index();
  }
  EXPECT_EQ(in.u32(), 0u);  // the empty output list follows the last record
  EXPECT_EQ(in.at(), blob.size());
}

}  // namespace
}  // namespace zembrik
