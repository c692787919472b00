// Reading a record's fields as views gives back exactly the key it encodes,
// for every kind of node, one reader reused across records.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "ir/record.hpp"

namespace zembrik {
namespace {

// The key the fields describe, rebuilt, to compare with the encoded one.
NodeKey key_of(const RecordFields& f) {
  ParamMap params;
  std::vector<ParamEntry> entries;
  for (const ParamView& p : f.params) entries.emplace_back(std::string(p.key), p.value());
  params = ParamMap::from_entries(std::move(entries));
  const std::string name(f.name);
  switch (f.tag) {
    case NodeTag::Source:
      return Source{name, params};
    case NodeTag::Op:
      return Op{name, params, f.inputs};
    case NodeTag::Reduction:
      return Reduction{name, params, f.inputs};
    case NodeTag::External: {
      PayloadDescriptor d;
      for (std::size_t i = 0; i < kDescriptorStrings.size(); ++i) {
        d.*kDescriptorStrings[i].member = std::string(f.descriptor[i]);
      }
      if (f.preprocessing_ref) d.preprocessing_ref = std::string(*f.preprocessing_ref);
      return External{d, params, f.inputs};
    }
    case NodeTag::Stage: {
      Stage stage{f.inputs, {}};
      for (const MemberFields& m : f.members) {
        stage.members.push_back(
            StageOp{std::string(m.token), std::vector<StageRef>(m.refs.begin(), m.refs.end())});
      }
      return stage;
    }
    case NodeTag::Exchange:
      return Exchange{params, f.inputs};
    case NodeTag::Join:
      return Join{params, f.inputs};
  }
  return Source{};
}

ParamMap one_nan() {
  return ParamMap::from_entries(
      {{"a", ParamValue::Str("v")},
       {"n", ParamValue::Float(-std::numeric_limits<double>::quiet_NaN())},
       {"z", ParamValue::Int(-5)}});
}

TEST(RecordFields, ReadBackEveryKindOfKey) {
  const ParamMap mixed =
      ParamMap::from_entries({{"b", ParamValue::Bool(true)},
                              {"f", ParamValue::Float(-0.0)},
                              {"i", ParamValue::Int(std::numeric_limits<std::int64_t>::min())},
                              {"n", ParamValue::Float(std::numeric_limits<double>::quiet_NaN())},
                              {"s", ParamValue::Str("x|y;=%\xc3\xa9")}});
  const std::vector<NodeKey> keys = {
      Source{"src", mixed},
      Source{"", {}},
      Op{"map", mixed, {0, 1, 1 << 20}},
      Reduction{"sum", {}, {7}},
      External{PayloadDescriptor{"model", "h", "torch", "2", "schema", "prep"}, mixed, {3}},
      External{PayloadDescriptor{"k", "c", "f", "v", "io", std::nullopt}, {}, {}},
      Stage{
          {4, 5},
          {StageOp{"op|map|k=i1", {StageRef::Input(0)}},
           StageOp{"op|add|", {StageRef::Member(0), StageRef::Input(1)}}, StageOp{"red|sum|", {}}}},
      Stage{{}, {}},
      Exchange{mixed, {2}},
      Join{{}, {0, 1}},
  };
  RecordFields fields;  // reused: nothing of one record may leak into the next
  for (const NodeKey& key : keys) {
    std::string bytes;
    record::encode(key, bytes);
    fields.read(bytes);
    EXPECT_EQ(static_cast<std::size_t>(fields.tag), key.index());
    std::string again;
    record::encode(key_of(fields), again);
    EXPECT_EQ(again, bytes) << kind_word(key);
  }
}

TEST(RecordFields, PlainKindsEncodeFromViewsAsFromKeys) {
  const ParamMap nan = one_nan();
  const std::vector<NodeKey> keys = {
      Source{"s", nan},        Source{"", {}},     Op{"add", nan, {1, 0, 300}},
      Reduction{"r", {}, {2}}, Exchange{nan, {5}}, Join{{}, {0, 1}},
  };
  RecordFields fields;
  for (const NodeKey& key : keys) {
    std::string bytes;
    const bool has_nan = record::encode(key, bytes);
    fields.read(bytes);
    std::string again = "prefix";  // appended to, as encode does
    EXPECT_EQ(record::encode_fields({fields.tag, fields.name, fields.params, fields.inputs}, again),
              has_nan);
    EXPECT_EQ(again, "prefix" + bytes) << kind_word(key);
  }
}

// The recording path writes into a room on the stack when the bound of the
// fields says the record fits: the bound must hold for the longest forms of
// every field, and both ways must give the same bytes and wide size.
TEST(RecordFields, RoomEncodingIsBoundedAndMatchesAppending) {
  std::mt19937_64 rng(7);
  const NodeTag tags[] = {NodeTag::Source, NodeTag::Op, NodeTag::Reduction, NodeTag::Exchange,
                          NodeTag::Join};
  const std::int64_t ints[] = {0, -1, std::numeric_limits<std::int64_t>::min(),
                               std::numeric_limits<std::int64_t>::max()};
  for (int round = 0; round < 2000; ++round) {
    const NodeTag tag = tags[rng() % 5];
    const bool named = tag == NodeTag::Source || tag == NodeTag::Op || tag == NodeTag::Reduction;
    const std::string name =
        named ? std::string(rng() % 3 == 0 ? rng() % 700 : rng() % 8, 'n') : std::string();
    const std::size_t n_params = rng() % 6;
    std::vector<std::string> keys(n_params), texts(n_params);
    std::vector<ParamView> params;
    for (std::size_t i = 0; i < n_params; ++i) {
      keys[i] = std::string(i + 1, 'k') + std::string(rng() % 20, 'x');  // distinct
      texts[i] = std::string(rng() % 40, 'v');
      const auto kind = static_cast<ParamValue::Tag>(rng() % 4);
      ParamView p{keys[i], kind, ints[rng() % 4], std::nan(""), true, {}};
      if (kind == ParamValue::Tag::Str) p.str_value = texts[i];
      params.push_back(p);
    }
    sort_by_key(params, [](const ParamView& p) { return p.key; });
    NodeIds inputs;
    if (tag != NodeTag::Source) {
      for (std::size_t i = rng() % 5; i > 0; --i) inputs.push_back(rng() >> (rng() % 64));
    }
    const PlainFields fields{tag, name, params, inputs};

    std::string appended;
    std::size_t wide = 0;
    const bool has_nan = record::encode_fields(fields, appended, &wide);
    ASSERT_LE(appended.size(), record::size_bound(fields));
    char room[512];
    std::string overflow;
    const record::EncodedFields encoded = record::encode_fields(fields, room, overflow);
    EXPECT_EQ(encoded.bytes, appended);
    EXPECT_EQ(encoded.has_nan, has_nan);
    EXPECT_EQ(encoded.wide, wide);
    EXPECT_EQ(encoded.wide, record::wide_size(appended));
  }
}

}  // namespace
}  // namespace zembrik
