// The two text forms of a key: the token and the label.
//
// A token is the canonical one-line text of what a node does (kind, name or
// payload, parameters), never of its inputs. The rewrite engine uses it as
// the node's operator symbol and a fused stage keeps it as each member's
// identity, so it must tell different names and parameters apart: the four
// structural characters "%", ";", "=" and "|" in free text are
// percent-escaped. A label is the short human-readable text of diagrams.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <vector>

#include "base/result.hpp"
#include "ir/node_key.hpp"

namespace zembrik {

std::string escape_token(std::string_view text);
// The inverse of escape_token; other "%" sequences pass through unchanged.
std::string unescape_token(std::string_view text);

// "i42", "f3ff0000000000000", "btrue", "sa%3Db".
std::string token(const ParamValue& value);
// "key=valuetoken;..." in map order.
std::string param_token(const ParamMap& params);
// `head` alone for an empty map, else head + "|" + the parameter token.
std::string with_params(std::string head, const ParamMap& params);

std::string token(const NodeKey& key);
std::string label(const NodeKey& key);
void append_label(std::string& out, const NodeKey& key);

// What an Op or Reduction token says: its kind text exactly as found ("op"
// or "red"), its name and its parameters.
struct OpToken {
  std::string kind;
  std::string name;
  ParamMap params;
};

// Reads an "op|..." or "red|..." token back; nothing for anything malformed
// and for the tokens of the other kinds.
std::optional<OpToken> parse_op_token(std::string_view token);

// A stage member read back from its token, for inspection.
struct MemberView {
  OpToken op;
  std::vector<StageRef> inputs;
};
struct UnparseableMember {
  std::string token;
};
Result<std::vector<MemberView>, UnparseableMember> member_views(const Stage& stage);

}  // namespace zembrik
