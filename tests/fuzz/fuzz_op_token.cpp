// Fuzzes parse_op_token, which reads the member tokens of stages that came
// from blobs. It must never fail loudly, and whatever it accepts must come
// back unchanged from the token of the key it describes. Escaping, which
// tokens are made of, must invert exactly on any text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.hpp"
#include "ir/token.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zembrik;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  FUZZ_REQUIRE(unescape_token(escape_token(text)) == text);

  const std::optional<OpToken> parsed = parse_op_token(text);
  if (!parsed) return 0;
  FUZZ_REQUIRE(parsed->kind == "op" || parsed->kind == "red");
  const NodeKey key = parsed->kind == "op" ? NodeKey(Op{parsed->name, parsed->params, {}})
                                           : NodeKey(Reduction{parsed->name, parsed->params, {}});
  const std::optional<OpToken> again = parse_op_token(token(key));
  FUZZ_REQUIRE(again.has_value());
  FUZZ_REQUIRE(again->kind == parsed->kind);
  FUZZ_REQUIRE(again->name == parsed->name);
  FUZZ_REQUIRE(again->params == parsed->params);
  (void)label(key);
  return 0;
}
