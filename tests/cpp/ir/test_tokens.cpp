// Tokens, labels and reading Op tokens back.
#include <gtest/gtest.h>

#include <cmath>

#include "ir/token.hpp"
#include "test_names.hpp"

namespace zembrik {
namespace {

ParamMap map_of(std::vector<ParamEntry> entries) {
  return ParamMap::from_entries(std::move(entries));
}

const ParamMap kAddRight =
    map_of({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(0.0)}});

TEST(Escape, RoundTripsAndEscapesPercentFirst) {
  EXPECT_EQ(escape_token("100%"), "100%25");
  EXPECT_EQ(escape_token(";"), "%3B");
  EXPECT_EQ(escape_token("a=b|c;%"), "a%3Db%7Cc%3B%25");
  EXPECT_EQ(unescape_token("%253B"), "%3B");
  EXPECT_EQ(unescape_token("%41%7c%7C"), "%41%7c|");
  for (const char* text : {"", "%", "%%3B", "a|b=c;d%e", "%7C%3D%3B%25", "%2"}) {
    EXPECT_EQ(unescape_token(escape_token(text)), text);
  }
}

struct TokenCase {
  const char* name;
  NodeKey key;
  std::string token;
  std::string label;
};

class Tokens : public testing::TestWithParam<TokenCase> {};

TEST_P(Tokens, TokenAndLabel) {
  EXPECT_EQ(token(GetParam().key), GetParam().token);
  EXPECT_EQ(label(GetParam().key), GetParam().label);
}

const PayloadDescriptor kDescriptor{"k", "h", "fw", "2", "s", std::nullopt};

INSTANTIATE_TEST_SUITE_P(
    Keys, Tokens,
    testing::Values(
        TokenCase{"AddRight", Op{"add", kAddRight, {0}}, "op|add|scalar=f0000000000000000;side=sr",
                  "Op add {scalar=0, side=\"r\"}"},
        TokenCase{"MulLeft",
                  Op{"mul",
                     map_of({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("l")}}),
                     {}},
                  "op|mul|scalar=f3ff0000000000000;side=sl", "Op mul {scalar=1, side=\"l\"}"},
        TokenCase{"EscapedPercent", Op{"100%", {}, {}}, "op|100%25", "Op 100%"},
        TokenCase{"EmptyName", Op{"", {}, {}}, "op|", "Op "},
        TokenCase{"NoParams", Op{"add", {}, {}}, "op|add", "Op add"},
        TokenCase{"EscapedBar", Source{"a|b", {}}, "src|a%7Cb", "Source a|b"},
        TokenCase{"SourceWithInt", Source{"a", map_of({{"n", ParamValue::Int(3)}})}, "src|a|n=i3",
                  "Source a {n=3}"},
        TokenCase{"ReductionWithNegativeInt",
                  Reduction{"sum", map_of({{"axis", ParamValue::Int(-3)}}), {}}, "red|sum|axis=i-3",
                  "Reduction sum {axis=-3}"},
        TokenCase{"Exchange", Exchange{{}, {1}}, "exch", "Exchange"},
        TokenCase{"ExchangeWithStr", Exchange{map_of({{"scheme", ParamValue::Str("hash")}}), {}},
                  "exch|scheme=shash", "Exchange {scheme=\"hash\"}"},
        TokenCase{"Join", Join{map_of({{"how", ParamValue::Str("inner")}}), {1, 2}},
                  "join|how=sinner", "Join {how=\"inner\"}"},
        TokenCase{"External", External{kDescriptor, {}, {}}, "ext|k|h|fw|2|s|-",
                  "External k:h [fw 2]"},
        TokenCase{"ExternalFieldsKeptRaw",
                  External{PayloadDescriptor{"a|b", "h", "f", "v", "s;=", "p"},
                           map_of({{"batch", ParamValue::Int(8)}}),
                           {}},
                  "ext|a|b|h|f|v|s;=|p|batch=i8", "External a|b:h [f v] {batch=8}"},
        TokenCase{"Stage",
                  Stage{{0}, {StageOp{"op|a", {}}, StageOp{"op|b", {}}, StageOp{"op|c", {}}}},
                  "stage|3", "Stage[3 members]"},
        TokenCase{
            "EscapedParamKey",
            Op{"k", map_of({{"a=b", ParamValue::Str("x;y")}, {"t", ParamValue::Bool(false)}}), {}},
            "op|k|a%3Db=sx%3By;t=bfalse", "Op k {a=b=\"x;y\", t=false}"}),
    by_name);

TEST(ValueTokens, FloatsUseCanonicalBits) {
  EXPECT_EQ(token(ParamValue::Float(-0.0)), "f8000000000000000");
  EXPECT_EQ(token(ParamValue::Float(-std::nan("5"))), "f7ff8000000000000");
  EXPECT_EQ(token(ParamValue::Int(42)), "i42");
  EXPECT_EQ(token(ParamValue::Str("a=b")), "sa%3Db");
  EXPECT_EQ(with_params("exch", {}), "exch");
}

TEST(ParseOpToken, RoundTripsOpAndReductionTokens) {
  const std::vector<NodeKey> keys = {Op{"add", kAddRight, {}}, Op{"", {}, {}},
                                     Reduction{"a|b;c",
                                               map_of({{"k%", ParamValue::Str("=|;%")},
                                                       {"i", ParamValue::Int(INT64_MIN)},
                                                       {"n", ParamValue::Float(std::nan(""))},
                                                       {"t", ParamValue::Bool(true)},
                                                       {"e", ParamValue::Str("")}}),
                                               {}}};
  for (const NodeKey& key : keys) {
    const std::optional<OpToken> parsed = parse_op_token(token(key));
    ASSERT_TRUE(parsed) << token(key);
    EXPECT_EQ(parsed->kind, key.index() == 1 ? "op" : "red");
    EXPECT_EQ(parsed->name, name_of(key));
    EXPECT_EQ(parsed->params, *params_of(key));
  }
}

struct RejectedCase {
  const char* name;
  const char* text;
};

class RejectedTokens : public testing::TestWithParam<RejectedCase> {};
TEST_P(RejectedTokens, YieldNothing) {
  EXPECT_FALSE(parse_op_token(GetParam().text)) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Malformed, RejectedTokens,
    testing::Values(
        RejectedCase{"NoName", "op"}, RejectedCase{"SourceKind", "src|a"},
        RejectedCase{"ExchangeKind", "exch"}, RejectedCase{"JoinKind", "join|how=sx"},
        RejectedCase{"StageKind", "stage|2"}, RejectedCase{"ExternalKind", "ext|k|h|f|v|s|-"},
        RejectedCase{"CapitalKind", "Op|a"}, RejectedCase{"KeyWithoutValue", "op|a|k"},
        RejectedCase{"EmptyValue", "op|a|k="}, RejectedCase{"UnknownType", "op|a|k=x1"},
        RejectedCase{"IntWithoutDigits", "op|a|k=i"},
        RejectedCase{"TrailingSeparator", "op|a|k=i1;"},
        RejectedCase{"LeadingSeparator", "op|a|;k=i1"},
        RejectedCase{"BoolCapitalized", "op|a|k=bTrue"},
        RejectedCase{"FloatWithSign", "op|a|k=f-1"}, RejectedCase{"CapitalType", "op|a|k=FF"},
        RejectedCase{"FloatWithoutDigits", "op|a|k=f"}, RejectedCase{"FloatOnlyPlus", "op|a|k=f+"},
        RejectedCase{"FloatTooLong", "op|a|k=f10000000000000000"},
        RejectedCase{"IntOnlyPlus", "op|a|k=i+"}, RejectedCase{"IntOnlyMinus", "op|a|k=i-"},
        RejectedCase{"IntTrailingLetter", "op|a|k=i1x"},
        RejectedCase{"IntOverflow", "op|a|k=i9223372036854775808"},
        RejectedCase{"NonAsciiType", "op|a|k=\xc3\xa9x"},
        RejectedCase{"IntTwoSigns", "op|a|k=i+-1"}, RejectedCase{"FloatHexPrefix", "op|a|k=f0x1"}),
    by_name);

TEST(ParseOpToken, AcceptedEdgeForms) {
  const auto parsed = [](const char* text) {
    std::optional<OpToken> t = parse_op_token(text);
    EXPECT_TRUE(t) << text;
    return t.value_or(OpToken{});
  };
  EXPECT_EQ(parsed("op|").name, "");
  EXPECT_TRUE(parsed("op|a|").params.empty());
  EXPECT_EQ(parsed("op|a|k=f+1").params[0].second, ParamValue::Float(std::bit_cast<double>(1ULL)));
  EXPECT_EQ(parsed("op|a|k=f0003FF0000000000000").params[0].second, ParamValue::Float(1.0));
  EXPECT_EQ(parsed("op|a|k=i+7").params[0].second, ParamValue::Int(7));
  EXPECT_EQ(parsed("red|x|k=s").params[0].second, ParamValue::Str(""));
  EXPECT_EQ(parsed("op|a%7Cb|c=s1|2").params[0].second, ParamValue::Str("1|2"));
  EXPECT_EQ(parsed("op|a%7Cb|c=s1|2").name, "a|b");
  const OpToken repeated = parsed("op|a|k=i2;j=i0;k=i1");
  ASSERT_EQ(repeated.params.size(), 3u);
  EXPECT_EQ(repeated.params[1].second, ParamValue::Int(2));
  EXPECT_EQ(repeated.params[2].second, ParamValue::Int(1));
}

TEST(MemberViews, ParseEveryMemberOrNameTheBadOne) {
  const Stage good{{0},
                   {StageOp{"op|a|k=i1", {StageRef::Input(0)}},
                    StageOp{"red|s", {StageRef::Member(0), StageRef::Input(0)}}}};
  const auto views = member_views(good);
  ASSERT_TRUE(views);
  ASSERT_EQ(views.value().size(), 2u);
  EXPECT_EQ(views.value()[1].op.kind, "red");
  EXPECT_EQ(views.value()[1].inputs, good.members[1].inputs);

  const Stage bad{{0}, {StageOp{"op|a", {}}, StageOp{"src|x", {}}}};
  const auto failed = member_views(bad);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().token, "src|x");
}

}  // namespace
}  // namespace zembrik
