// The digest in a lowered task's key: BLAKE2b, personalized as the lowering's
// Python path does it, of the marshal (version 2) bytes of the node's
// content as nodes() gives it, (kind, name, params, descriptor, members,
// input digests joined), so that both paths give every node the same key.
#pragma once

#include <array>
#include <span>
#include <string>

#include "ir/record.hpp"
#include "ir/token.hpp"

namespace zembrik::py {

inline constexpr std::size_t kTaskDigestBytes = 16;
using HexDigest = std::array<char, 2 * kTaskDigestBytes>;

// The marshal bytes of a stage member's dict up to its inputs' value, which
// is the same for every member with this token.
std::string member_marshal_head(const OpToken& op);

// The digest of the node whose fields are `fields`; `member_heads` holds
// member_marshal_head of each stage member, `input_digests` its inputs'
// digests in order. `buffer` is scratch space.
HexDigest task_digest(const RecordFields& fields, std::span<const std::string* const> member_heads,
                      std::span<const HexDigest* const> input_digests, std::string& buffer);

}  // namespace zembrik::py
