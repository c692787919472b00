// Reading a record's fields as views gives back exactly the key it encodes,
// for every kind of node, one reader reused across records.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace zembrik
