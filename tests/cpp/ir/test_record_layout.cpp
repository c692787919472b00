// The shared description of record fields and the shared record builder:
// the walk's order per tag, its early stop, records written field by field
// through either builder, cutting records at their id lists, and the
// short copies the writers make.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "ir/key_record.hpp"
#include "ir/record_builder.hpp"
#include "ir/record_layout.hpp"

namespace zembrik {
namespace {

ParamMap params_with_every_type() {
  return ParamMap::from_entries({{"s", ParamValue::Str("x|y")},
                                 {"f", ParamValue::Float(-0.0)},
                                 {"i", ParamValue::Int(std::numeric_limits<std::int64_t>::min())},
                                 {"b", ParamValue::Bool(false)}});
}

// One key of every tag, in tag order, with fields long enough that a varint
// takes two bytes and Builder has to grow.
std::vector<NodeKey> one_key_per_tag() {
  const std::string long_name(300, 'n');
  return {
      Source{long_name, params_with_every_type()},
      Op{"map", params_with_every_type(), {0, 200, 1ULL << 63}},
      Reduction{"sum", {}, {7}},
      External{{"kind", "hash", "fw", "1.0", long_name, "prep"}, params_with_every_type(), {1}},
      Stage{{4, 9},
            {StageOp{"op|a", {StageRef::Input(1)}},
             StageOp{long_name, {StageRef::Member(0), StageRef::Input(0)}}}},
      Exchange{params_with_every_type(), {}},
      Join{{}, {4, 5, 4}},
  };
}

// Notes the fields it is called for; `stop_at` makes that call end the walk.
struct FieldLog {
  std::vector<std::string> seen;
  std::size_t stop_at = std::numeric_limits<std::size_t>::max();

  bool note(std::string field) {
    seen.push_back(std::move(field));
    return seen.size() - 1 != stop_at;
  }
  bool name() { return note("name"); }
  bool descriptor(std::size_t i) { return note("descriptor" + std::to_string(i)); }
  bool preprocessing_ref() { return note("preprocessing_ref"); }
  bool params() { return note("params"); }
  bool inputs() { return note("inputs"); }
  bool members() { return note("members"); }
};

using Fields = std::vector<std::string>;

TEST(RecordLayout, WalksTheFieldsOfEachTagInRecordOrder) {
  const Fields descriptor = {"descriptor0", "descriptor1", "descriptor2", "descriptor3",
                             "descriptor4"};
  Fields external = descriptor;
  external.insert(external.end(), {"preprocessing_ref", "params", "inputs"});
  const std::vector<Fields> expected = {
      {"name", "params"},    {"name", "params", "inputs"}, {"name", "params", "inputs"}, external,
      {"inputs", "members"}, {"params", "inputs"},         {"params", "inputs"},
  };
  ASSERT_EQ(expected.size(), kMaxNodeTag + 1u);
  for (std::uint8_t t = 0; t <= kMaxNodeTag; ++t) {
    FieldLog log;
    EXPECT_TRUE(record::walk_fields(static_cast<NodeTag>(t), log));
    EXPECT_EQ(log.seen, expected[t]) << "tag " << int(t);
    // The tag dispatch lands on the key type with that variant index.
    const std::size_t index = record::visit_tag(static_cast<NodeTag>(t), [](auto tag) {
      using K = record::KeyOf<decltype(tag)::value>;
      EXPECT_EQ(record::tag_for<K>(), decltype(tag)::value);
      return NodeKey(K{}).index();
    });
    EXPECT_EQ(index, t);
  }
  EXPECT_EQ(record::kDescriptorStringCount, descriptor.size());
}

TEST(RecordLayout, StopsAtTheFirstFieldThatSaysSo) {
  for (std::uint8_t t = 0; t <= kMaxNodeTag; ++t) {
    FieldLog all;
    record::walk_fields(static_cast<NodeTag>(t), all);
    for (std::size_t stop = 0; stop < all.seen.size(); ++stop) {
      FieldLog log;
      log.stop_at = stop;
      EXPECT_FALSE(record::walk_fields(static_cast<NodeTag>(t), log));
      EXPECT_EQ(log.seen, Fields(all.seen.begin(), all.seen.begin() + stop + 1))
          << "tag " << int(t) << " stop " << stop;
    }
  }
}

// Writes a key's fields with the shared field writers, into any sink.
template <class Sink, class K>
struct KeyWriter {
  Sink& out;
  const K& key;
  bool name() {
    out.str(key.name);
    return true;
  }
  bool descriptor(std::size_t i) {
    out.str(key.descriptor.*kDescriptorStrings[i].member);
    return true;
  }
  bool preprocessing_ref() {
    out.u8(key.descriptor.preprocessing_ref ? 1 : 0);
    if (key.descriptor.preprocessing_ref) out.str(*key.descriptor.preprocessing_ref);
    return true;
  }
  bool params() {
    record::put_params(out, key.params, record::Nans::Keep);
    return true;
  }
  bool inputs() {
    record::put_ids(out, std::span<const NodeId>(key.inputs));
    return true;
  }
  bool members() {
    out.varint(key.members.size());
    for (const StageOp& m : key.members) record::put_member(out, m.token, m.inputs);
    return true;
  }
};

template <class Sink>
void write_key(Sink& out, const NodeKey& key) {
  out.u8(static_cast<std::uint8_t>(key.index()));
  std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        KeyWriter<Sink, K> fields{out, k};
        record::walk_fields<record::tag_for<K>()>(fields);
      },
      key);
}

TEST(RecordBuilder, EveryTagRoundTripsThroughBothBuildersAndTheDecoder) {
  record::Builder builder;
  for (const NodeKey& key : one_key_per_tag()) {
    std::string encoded;
    record::encode(key, encoded);

    builder.clear();  // reused across records, as the blob reader does
    write_key(builder, key);
    EXPECT_EQ(builder.view(), encoded) << "tag " << key.index();
    EXPECT_EQ(record::decode(builder.view()), key);

    std::string appended = "prefix";
    record::append(appended, [&](auto& sink) {
      write_key(sink, key);
      return true;
    });
    EXPECT_EQ(appended, "prefix" + encoded);
  }
}

TEST(RecordBuilder, WritesTheDocumentedBytes) {
  // Tag, name, one Int entry (zigzag -1 is 1), two ids with 300 as 0xAC 0x02.
  std::string op;
  record::encode(Op{"m", ParamMap::from_entries({{"k", ParamValue::Int(-1)}}), {3, 300}}, op);
  EXPECT_EQ(op, std::string("\x01\x01m\x01\x01k\x00\x01\x02\x03\xAC\x02", 12));
  // Five descriptor strings, the presence byte, no parameters, no inputs.
  std::string ext;
  record::encode(External{{"a", "b", "c", "d", "e", std::nullopt}, {}, {}}, ext);
  EXPECT_EQ(ext, std::string("\x03\x01"
                             "a\x01"
                             "b\x01"
                             "c\x01"
                             "d\x01"
                             "e\x00\x00\x00",
                             14));
  // Inputs, then per member its token, ref count and (tag, index) pairs.
  std::string stage;
  record::encode(Stage{{5}, {StageOp{"t", {StageRef::Input(0), StageRef::Member(0)}}}}, stage);
  EXPECT_EQ(stage, std::string("\x04\x01\x05\x01\x01t\x02\x00\x00\x01\x00", 11));
}

TEST(SplitAtInputs, CutsEveryTagAroundItsIdListOnly) {
  const std::vector<NodeId> replacement = {11, 1ULL << 40};
  for (const NodeKey& key : one_key_per_tag()) {
    std::string bytes;
    record::encode(key, bytes);
    NodeIds inputs = {99};  // appended to, never cleared
    const record::Split split = record::split_at_inputs(bytes, inputs);
    NodeIds expected = {99};
    expected.insert(expected.end(), inputs_of(key).begin(), inputs_of(key).end());
    EXPECT_EQ(inputs, expected) << "tag " << key.index();
    EXPECT_EQ(split.has_inputs, tag_of(key) != NodeTag::Source);
    EXPECT_EQ(split.tail.empty(), tag_of(key) != NodeTag::Stage);

    std::string renumbered;
    record::append_with_inputs(split, replacement, renumbered);
    std::string direct;
    record::encode(with_inputs(key, replacement), direct);
    EXPECT_EQ(renumbered, direct) << "tag " << key.index();
  }
}

// Every length up to past the largest fixed-size path, each at an odd
// offset, between guard bytes that must stay untouched.
TEST(CopyBytes, CopiesExactlyTheRunAtEveryLength) {
  std::string from(40, '\0');
  for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<char>('A' + i);
  for (std::size_t n = 0; n <= 33; ++n) {
    std::string to(n + 6, '#');
    record::copy_bytes(to.data() + 3, from.data() + 1, n);
    EXPECT_EQ(to, "###" + from.substr(1, n) + "###") << n;
  }
}

}  // namespace
}  // namespace zembrik
