// Reading the binder's parameters from a docstring's text signature.
#include "python/text_signature.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_names.hpp"

namespace zembrik::py {
namespace {

// One parameter as "name", "name=" (optional) with a leading "*" when
// keyword-only, so a whole signature compares as one list.
struct Read {
  int count = 0;
  std::string name;
  std::vector<std::string> parameters;
};

Read read(std::string_view doc) {
  Read out;
  std::string_view name;
  out.count = read_text_signature(doc, name, [&](std::string_view p, bool required, bool kw) {
    out.parameters.push_back((kw ? "*" : "") + std::string(p) + (required ? "" : "="));
  });
  out.name = std::string(name);
  return out;
}

struct SignatureCase {
  const char* doc;
  const char* name;
  std::vector<std::string> parameters;
};

class TextSignatureTest : public testing::TestWithParam<SignatureCase> {};

TEST_P(TextSignatureTest, ReadsNameAndParameters) {
  const Read got = read(GetParam().doc);
  EXPECT_EQ(got.count, static_cast<int>(GetParam().parameters.size()));
  EXPECT_EQ(got.name, GetParam().name);
  EXPECT_EQ(got.parameters, GetParam().parameters);
  EXPECT_EQ(text_signature_parameters(GetParam().doc), got.count);
}

INSTANTIATE_TEST_SUITE_P(
    Docs, TextSignatureTest,
    testing::Values(
        SignatureCase{"version()\n--\n\n", "version", {}},
        SignatureCase{"node_count($self)\n--\n\n", "node_count", {}},
        SignatureCase{"deserialize(data)\n--\n\nRebuild (a store).", "deserialize", {"data"}},
        SignatureCase{"add_op($self, name, inputs, params=None)\n--\n\n",
                      "add_op",
                      {"name", "inputs", "params="}},
        SignatureCase{"cone($self, *, outputs)\n--\n\n", "cone", {"*outputs"}},
        SignatureCase{"finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n",
                      "finalize",
                      {"store", "*maximal_fusion=", "*outputs="}},
        SignatureCase{"PayloadDescriptor(*, kind, preprocessing_ref=None)\n--\n\nbody",
                      "PayloadDescriptor",
                      {"*kind", "*preprocessing_ref="}}),
    by_name);

TEST(TextSignature, RefusesTextOfAnotherForm) {
  for (const char* doc : {
           "",                    // nothing
           "version",             // no parameter list
           "(a)\n--\n\n",         // no name
           "f(a)\n",              // no separator line
           "f(a)\n--\nbody",      // separator cut short
           "f(a, )\n--\n\n",      // empty parameter
           "f(a,b)\n--\n\n",      // parameters run together
           "f(*, *, a)\n--\n\n",  // two markers
           "f(=None)\n--\n\n",    // default without a name
           "f(A)\n--\n\n",        // not a parameter name
           "f(*args)\n--\n\n",    // variadic, which the binder lacks
           "f)(\n--\n\n",         // brackets the wrong way round
       }) {
    EXPECT_EQ(text_signature_parameters(doc), -1) << doc;
  }
}

// The method tables check their docstrings while compiling.
static_assert(text_signature_parameters("reduce($self, *, maximal_fusion=False, outputs=None)"
                                        "\n--\n\n") == 2);
static_assert(text_signature_parameters("reduce($self\n--\n\n") == -1);

}  // namespace
}  // namespace zembrik::py
