// The canonical IR blob: the durable, byte-identical form of a graph.
//
// A blob is "ZIR1", a 32-bit node count, one record per node in id order and
// the output list; every integer is little-endian and every count and length
// 32 bits wide. The bytes depend only on the nodes and the outputs, so the
// same graph always gives the same blob, and reading a blob rebuilds a graph
// with the same ids:
//
//   std::string blob(blob_size(graph.arena(), graph.outputs()), '\0');
//   if (!write_blob(graph.arena(), graph.outputs(), blob)) ...;  // too large
//   Result<Graph, BlobError> copy = deserialize(blob);
//
// Both directions transcode the arena's own records field by field rather
// than building keys. `deserialize` is where untrusted bytes come in: it
// checks every field before using it, reserves nothing that the remaining
// bytes could not fill, and reports the first fault as a BlobError.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "arena/node_arena.hpp"
#include "base/result.hpp"
#include "store/graph.hpp"

namespace zembrik {

// Why a byte sequence is not a readable blob; message() is the text the
// Python layer raises.
struct BlobError {
  enum class Kind : std::uint8_t { BadMagic, Truncated, InvalidTag, InvalidUtf8, NodeReference };
  enum class TagKind : std::uint8_t { Node, Param, StageRef };

  Kind kind;
  TagKind tag_kind = TagKind::Node;  // which tag, for InvalidTag
  std::uint64_t value = 0;           // the tag byte, or the reference out of range

  static BlobError bad_magic() { return {Kind::BadMagic}; }
  static BlobError truncated() { return {Kind::Truncated}; }
  static BlobError invalid_tag(TagKind which, std::uint8_t tag) {
    return {Kind::InvalidTag, which, tag};
  }
  static BlobError invalid_utf8() { return {Kind::InvalidUtf8}; }
  static BlobError node_reference(std::uint64_t reference) {
    return {Kind::NodeReference, TagKind::Node, reference};
  }

  // "invalid node tag 7", "node reference 3 out of range", ...
  std::string message() const;
  friend bool operator==(const BlobError&, const BlobError&) = default;
};

// The largest count, length or index the format's 32-bit fields hold.
inline constexpr std::uint64_t kMaxBlobCount = std::numeric_limits<std::uint32_t>::max();

// A count, length or stage index too large for a 32-bit field: writing it
// would wrap and yield a corrupt blob, so the blob is refused.
struct BlobTooLarge {
  std::uint64_t count;
  std::string message() const;
  friend bool operator==(const BlobTooLarge&, const BlobTooLarge&) = default;
};

// The blob of `arena` with `outputs` as its output list, in the given order
// and with any repeats, in two steps so that the caller owns the buffer: the
// exact size, known without reading the records, then the bytes into that
// much room in one pass. The writing makes every check and reports the
// first count, length or index too large for 32 bits, in which case the
// room holds no usable blob. The caller has checked every output id against
// the arena. `max_count` is lowered only to test the refusal.
[[nodiscard]] std::size_t blob_size(const NodeArena& arena, std::span<const NodeId> outputs);
[[nodiscard]] Result<void, BlobTooLarge> write_blob(const NodeArena& arena,
                                                    std::span<const NodeId> outputs,
                                                    std::span<char> out,
                                                    std::uint64_t max_count = kMaxBlobCount);

// A new graph holding the blob's nodes, outputs marked in blob order. Bytes
// after the output list are ignored.
[[nodiscard]] Result<Graph, BlobError> deserialize(std::string_view blob);

}  // namespace zembrik
