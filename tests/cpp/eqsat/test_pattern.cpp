#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "eqsat/pattern.hpp"
#include "eqsat/pattern_reader.hpp"
#include "eqsat/sexp.hpp"
#include "test_names.hpp"

namespace zembrik::eqsat {
namespace {

Sexp atom(const char* text) {
  return Sexp::string(text);
}

struct SexpCase {
  const char* name;
  const char* text;
  Sexp expected;
};

class ParseStrTest : public testing::TestWithParam<SexpCase> {};

TEST_P(ParseStrTest, Reads) {
  auto read = parse_str(GetParam().text);
  ASSERT_TRUE(read.ok()) << read.error().msg;
  EXPECT_EQ(read.value(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseStrTest,
    testing::Values(
        SexpCase{"Empty", "", Sexp{Sexp::Empty{}}}, SexpCase{"Atom", "abc", atom("abc")},
        SexpCase{"ListThenJunk", "(a b) junk", Sexp::list({atom("a"), atom("b")})},
        SexpCase{"TabInsideAtom", "(a\tb)", Sexp::list({atom("a\tb")})},
        SexpCase{"LinesInsideList", "(f\r\n  (g x)\n)",
                 Sexp::list({atom("f"), Sexp::list({atom("g"), atom("x")})})},
        SexpCase{"NestedWithoutSpace", "(a(b))", Sexp::list({atom("a"), Sexp::list({atom("b")})})},
        SexpCase{"QuotedEscapedQuote", "\"a\\\"b\"", atom("a\\\"b")},
        SexpCase{"QuotedBackslashes", "\"a\\\\\" b\"", atom("a\\\\\" b")},
        SexpCase{"QuotedSpace", "(\"two words\" x)", Sexp::list({atom("two words"), atom("x")})},
        SexpCase{"FirstOfTwoAtoms", "\tatom rest", atom("atom")},
        SexpCase{"EmptyList", "()", Sexp::list({})}),
    by_name);

struct ErrorCase {
  const char* name;
  const char* text;
  ParseError expected;
};

class ParseStrErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseStrErrorTest, ReportsMessageAndOneBasedPosition) {
  auto read = parse_str(GetParam().text);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseStrErrorTest,
    testing::Values(ErrorCase{"OpenList", "(a", {"End of file reached", 1, 3}},
                    ErrorCase{"StrayClose", ")", {"Unexpected )", 1, 1}},
                    ErrorCase{"OpenOnSecondLine", "(a\n(b", {"End of file reached", 2, 3}},
                    ErrorCase{"OpenAfterNonAscii", "(\xc3\xa9 ", {"End of file reached", 1, 4}},
                    ErrorCase{"OpenQuote", "\"open", {"End of file reached", 1, 6}},
                    ErrorCase{"OnlySpaces", "  ", {"End of file reached", 1, 3}},
                    ErrorCase{"OpenAtLineEnd", "(a\n", {"End of file reached", 2, 1}},
                    // A stray byte is one character; a lead byte takes
                    // as many as it announces.
                    ErrorCase{"StrayContinuations", "(\x80\x80", {"End of file reached", 1, 4}},
                    ErrorCase{"LeadTakesWhatItAnnounces",
                              "(\xf0"
                              "ab",
                              {"End of file reached", 1, 3}}),
    by_name);

TEST(ParseStrDepthTest, RefusesNestingThatCouldExhaustTheStack) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '(') + "a" + std::string(depth, ')');
  };
  EXPECT_TRUE(parse_str(nested(1000)).ok());
  auto read = parse_str(nested(1001));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error(), (ParseError{"Nested too deeply", 1, 1001}));
  EXPECT_FALSE(read_pattern_ast(nested(100000)).ok());
}

PatternAst must_read_ast(const char* text) {
  auto read = read_pattern_ast(text);
  if (!read) {
    ADD_FAILURE() << to_string(read.error());
    return {};
  }
  return read.value();
}

ENodeOrVar var(const char* text) {
  return Var{GlobalSymbol(text)};
}
ENodeOrVar op(const char* text, std::initializer_list<Id> children) {
  return SymbolLang(GlobalSymbol(text), children);
}

TEST(ReadPatternTest, BuildsChildrenBeforeParentsWithoutSharing) {
  EXPECT_EQ(must_read_ast("(f ?x ?x)").nodes,
            (std::vector<ENodeOrVar>{var("?x"), var("?x"), op("f", {0, 1})}));
  EXPECT_EQ(must_read_ast(" \n?x\t").nodes, (std::vector<ENodeOrVar>{var("?x")}));
  EXPECT_EQ(must_read_ast("?").nodes, (std::vector<ENodeOrVar>{op("?", {})}));
  EXPECT_EQ(must_read_ast("\xc2\xa0(g \"?y\")\xe3\x80\x80").nodes,
            (std::vector<ENodeOrVar>{var("?y"), op("g", {0})}));
}

struct TrimCase {
  const char* name;
  const char* text;
  std::vector<ENodeOrVar> expected;
};

class ReadPatternTrimTest : public testing::TestWithParam<TrimCase> {};

// Characters are framed by their continuation bytes and decoded from their
// bits, so a malformed white space character is trimmed too.
TEST_P(ReadPatternTrimTest, TrimsWhiteSpaceFramedLoosely) {
  EXPECT_EQ(must_read_ast(GetParam().text).nodes, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadPatternTrimTest,
    testing::Values(TrimCase{"NoBreakAndIdeographicSpaces", "\xc2\xa0?x\xe3\x80\x80", {var("?x")}},
                    TrimCase{"OverlongTabBefore", "\xc0\x89?x", {var("?x")}},
                    TrimCase{"OverlongSpaceAfter", "?x\xc0\xa0", {var("?x")}},
                    TrimCase{"LoneContinuationKept", "\x80?x", {op("\x80?x", {})}},
                    TrimCase{"NoBreakSpaceWithExtraContinuationKept",
                             "\xc2\xa0\x80?x",
                             {op("\xc2\xa0\x80?x", {})}}),
    by_name);

TEST(ReadPatternTest, KeepsEveryStructuralCharacterOfAToken) {
  const std::string token = "op|add|scalar=f0000000000000000;side=sr";
  EXPECT_EQ(must_read_ast(("(" + token + " ?x)").c_str()).nodes,
            (std::vector<ENodeOrVar>{var("?x"), op(token.c_str(), {0})}));
}

TEST(ReadPatternTest, ReportsEachKindOfError) {
  using E = RecExprParseError;
  auto error_of = [](const char* text) { return read_pattern_ast(text).error(); };
  EXPECT_EQ(error_of(""), E{E::EmptySexp{}});
  EXPECT_EQ(error_of(" \t\n "), E{E::EmptySexp{}});
  EXPECT_EQ(error_of("()"), E{E::EmptySexp{}});
  EXPECT_EQ(error_of("(f a ())"), E{E::EmptySexp{}});
  EXPECT_EQ(error_of("((a) b)"), E{E::HeadList{Sexp::list({atom("a")})}});
  EXPECT_EQ(error_of("(f (?g x))"),
            E{E::BadOp{ENodeOrVarParseError{ENodeOrVarParseError::UnexpectedVar{"?g"}}}});
  EXPECT_EQ(error_of("(f a"), (E{E::BadSexp{ParseError{"End of file reached", 1, 5}}}));
  EXPECT_EQ(to_string(error_of("((a) b)")), "Found a list in head position: (a)");
}

TEST(ReadPatternTest, VariablesNeedAQuestionMarkAndMoreThanOneByte) {
  EXPECT_EQ(read_var("?a").value(), Var{GlobalSymbol("?a")});
  for (const char* text : {"?", "a", ""}) {
    EXPECT_EQ(read_var(text).error(), VarParseError{VarParseError::MissingQuestionMark{text}});
  }
}

TEST(CompactTest, SharesEqualSubtermsAndKeepsTheRootLast) {
  EXPECT_EQ(compact(must_read_ast("(f ?x ?x)")).nodes,
            (std::vector<ENodeOrVar>{var("?x"), op("f", {0, 0})}));
  EXPECT_EQ(compact(must_read_ast("(f (g ?x) (h (g ?x) ?y))")).nodes,
            (std::vector<ENodeOrVar>{var("?x"), op("g", {0}), var("?y"), op("h", {1, 2}),
                                     op("f", {1, 3})}));
}

TEST(PatternTest, ListsDistinctVariablesInOrderOfFirstAppearance) {
  const Pattern pattern(must_read_ast("(f ?b (g ?a ?b) ?c ?a)"));
  EXPECT_EQ(pattern.vars(), (std::vector<Var>{Var{GlobalSymbol("?b")}, Var{GlobalSymbol("?a")},
                                              Var{GlobalSymbol("?c")}}));
}

}  // namespace
}  // namespace zembrik::eqsat
