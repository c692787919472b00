// Parameter maps and node keys: order, equality, records.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "ir/key_record.hpp"
#include "ir/node_key.hpp"
#include "ir/params.hpp"
#include "test_names.hpp"

namespace zembrik {
namespace {

ParamMap map_of(std::vector<ParamEntry> entries) {
  return ParamMap::from_entries(std::move(entries));
}

std::vector<std::string> keys_of(const ParamMap& m) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : m) keys.push_back(k);
  return keys;
}

double nan_with_payload(std::uint64_t payload) {
  return std::bit_cast<double>(0x7FF0000000000000ULL | payload);
}

// What interning compares and hashes: the key's record with NaNs canonical.
std::string identity_of(const NodeKey& key) {
  std::string bytes;
  record::encode(key, bytes);
  return record::canonical(bytes);
}

TEST(ParamMap, SortsByRawKeyBytesStably) {
  const ParamMap m = map_of({{"b", ParamValue::Int(1)},
                             {"\xc3\xa9", ParamValue::Int(2)},  // non-ASCII sorts last
                             {"ab", ParamValue::Int(3)},
                             {"z", ParamValue::Int(4)},
                             {"a", ParamValue::Int(5)},
                             {"B", ParamValue::Int(6)}});
  EXPECT_EQ(keys_of(m), (std::vector<std::string>{"B", "a", "ab", "b", "z", "\xc3\xa9"}));

  const ParamMap twice = map_of({{"k", ParamValue::Int(1)}, {"k", ParamValue::Int(2)}});
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0].second, ParamValue::Int(1));
  EXPECT_NE(twice, map_of({{"k", ParamValue::Int(2)}, {"k", ParamValue::Int(1)}}));
  EXPECT_EQ(map_of({{"a", ParamValue::Int(1)}, {"b", ParamValue::Int(2)}}),
            map_of({{"b", ParamValue::Int(2)}, {"a", ParamValue::Int(1)}}));
}

struct ValuePair {
  const char* name;
  ParamValue a;
  ParamValue b;
  bool equal;
};

class ParamValueEquality : public testing::TestWithParam<ValuePair> {};

TEST_P(ParamValueEquality, AgreesWithTheInterningIdentity) {
  const ValuePair& p = GetParam();
  EXPECT_EQ(p.a == p.b, p.equal);
  const auto keyed = [](const ParamValue& v) { return NodeKey(Op{"m", map_of({{"v", v}}), {}}); };
  EXPECT_EQ(identity_of(keyed(p.a)) == identity_of(keyed(p.b)), p.equal);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParamValueEquality,
    testing::Values(
        ValuePair{"IntIsNotFloat", ParamValue::Int(1), ParamValue::Float(1.0), false},
        ValuePair{"BoolIsNotInt", ParamValue::Bool(true), ParamValue::Int(1), false},
        ValuePair{"BoolIsNotFloat", ParamValue::Bool(false), ParamValue::Float(0.0), false},
        ValuePair{"ZeroIsNotNegativeZero", ParamValue::Float(0.0), ParamValue::Float(-0.0), false},
        ValuePair{"NansOfAnySignAndPayload", ParamValue::Float(nan_with_payload(1)),
                  ParamValue::Float(-nan_with_payload(0x8000000000000ULL | 5)), true},
        ValuePair{"QuietNans", ParamValue::Float(std::nan("")), ParamValue::Float(std::nan("7")),
                  true},
        ValuePair{"SameStr", ParamValue::Str("a"), ParamValue::Str("a"), true},
        ValuePair{"StrCaseMatters", ParamValue::Str("a"), ParamValue::Str("A"), false},
        ValuePair{"SameInt", ParamValue::Int(-1), ParamValue::Int(-1), true}),
    by_name);

// One key of every kind, with parameters of every type.
std::vector<NodeKey> sample_keys() {
  const ParamMap params = map_of({{"s", ParamValue::Str("x|y")},
                                  {"f", ParamValue::Float(-0.0)},
                                  {"i", ParamValue::Int(std::numeric_limits<std::int64_t>::min())},
                                  {"b", ParamValue::Bool(true)}});
  PayloadDescriptor d{"k", "h", "fw", "2", "s", std::nullopt};
  PayloadDescriptor d_ref = d;
  d_ref.preprocessing_ref = "";
  return {
      Source{"src", params},
      Source{"src", {}},
      Op{"map", params, {0, 0, 1ULL << 63}},
      Op{"map", params, {}},
      Reduction{"sum", params, {2}},
      External{d, params, {1}},
      External{d_ref, params, {1}},
      Stage{{0, 3},
            {StageOp{"op|a", {StageRef::Input(0)}},
             StageOp{"op|b", {StageRef::Member(0), StageRef::Input(1)}}}},
      Stage{{0, 3}, {StageOp{"op|a", {StageRef::Input(0)}}}},
      Exchange{params, {4}},
      Join{{}, {4, 5}},
  };
}

TEST(NodeKey, SamplesAreDistinctAndRoundTripThroughRecords) {
  const std::vector<NodeKey> keys = sample_keys();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::string bytes;
    EXPECT_FALSE(record::encode(keys[i], bytes));
    EXPECT_EQ(record::decode(bytes), keys[i]);
    for (std::size_t j = 0; j < keys.size(); ++j) {
      EXPECT_EQ(keys[i] == keys[j], i == j) << i << " vs " << j;
      EXPECT_EQ(identity_of(keys[i]) == identity_of(keys[j]), i == j) << i << " vs " << j;
    }
  }
}

TEST(NodeKey, InputOrderAndRepeatsArePartOfIdentity) {
  EXPECT_NE(NodeKey(Op{"add", {}, {1, 2}}), NodeKey(Op{"add", {}, {2, 1}}));
  EXPECT_NE(NodeKey(Op{"add", {}, {1}}), NodeKey(Op{"add", {}, {1, 1}}));
  EXPECT_NE(NodeKey(Op{"add", {}, {1}}), NodeKey(Reduction{"add", {}, {1}}));
}

TEST(NodeKey, NanKeysAreEqualButKeepTheirBits) {
  const NodeKey a = Op{"m", map_of({{"x", ParamValue::Float(nan_with_payload(3))}}), {}};
  const NodeKey b = Op{"m", map_of({{"x", ParamValue::Float(-std::nan(""))}}), {}};
  EXPECT_EQ(a, b);
  std::string bytes;
  EXPECT_TRUE(record::encode(a, bytes));
  const NodeKey back = record::decode(bytes);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<Op>(back).params[0].second.as_float()),
            0x7FF0000000000003ULL);
  std::string other;
  record::encode(b, other);
  EXPECT_NE(bytes, other);
  EXPECT_EQ(record::canonical(bytes), record::canonical(other));
}

TEST(NodeKey, WithInputs) {
  const NodeKey source = Source{"s", {}};
  EXPECT_EQ(with_inputs(source, {1, 2, 3}), source);

  const NodeKey op = Op{"map", map_of({{"k", ParamValue::Int(1)}}), {0, 1}};
  EXPECT_EQ(with_inputs(op, {7}), NodeKey(Op{"map", map_of({{"k", ParamValue::Int(1)}}), {7}}));

  const Stage stage{{0, 3}, {StageOp{"op|a", {StageRef::Input(1)}}}};
  const NodeKey moved = with_inputs(stage, {5, 6});
  EXPECT_EQ(std::get<Stage>(moved).inputs, (NodeIds{5, 6}));
  EXPECT_EQ(std::get<Stage>(moved).members, stage.members);
  EXPECT_TRUE(inputs_of(source).empty());
  EXPECT_EQ(inputs_of(moved), (NodeIds{5, 6}));
}

TEST(NodeKey, KindWordsNamesAndParams) {
  const std::vector<NodeKey> keys = sample_keys();
  const std::vector<std::string> kinds = {"source",    "source",   "op",       "op",
                                          "reduction", "external", "external", "stage",
                                          "stage",     "exchange", "join"};
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(kind_word(keys[i]), kinds[i]);
  EXPECT_EQ(name_of(keys[4]), "sum");
  EXPECT_EQ(name_of(keys[5]), "");
  EXPECT_EQ(params_of(keys[7]), nullptr);
  EXPECT_EQ(params_of(keys[9])->size(), 4u);
}

}  // namespace
}  // namespace zembrik
