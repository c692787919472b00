// Writing: each arena record is transcoded field by field into its blob
// record, which is the record's wide form (record::wide_size), so the arena
// knows the blob's size before anything is written and the bytes go out in
// one pass.
#include <bit>
#include <cassert>
#include <cstring>
#include <optional>

#include "base/interrupt.hpp"
#include "ir/key_record.hpp"
#include "serialize/blob.hpp"

namespace zembrik {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the blob is little-endian and is written with host-order copies");

// Notes the first count too large for 32 bits and writes on: the room is
// the blob's whole size either way, and a refused blob is thrown away.
struct Emit {
  char* at;
  std::uint64_t max_count;
  std::optional<std::uint64_t> too_large;

  void u8(std::uint8_t v) { *at++ = static_cast<char>(v); }
  void u32(std::uint64_t v) {
    if (v > max_count && !too_large) [[unlikely]]
      too_large = v;
    const auto narrow = static_cast<std::uint32_t>(v);
    std::memcpy(at, &narrow, sizeof narrow);
    at += sizeof narrow;
  }
  void u64(std::uint64_t v) {
    std::memcpy(at, &v, sizeof v);
    at += sizeof v;
  }
  void raw(std::string_view s) {
    record::copy_bytes(at, s.data(), s.size());
    at += s.size();
  }
};

template <class Sink>
void put_string(record::Cursor& in, Sink& out) {
  const std::string_view s = in.str();
  out.u32(s.size());
  out.raw(s);
}

template <class Sink>
void put_ids(record::Cursor& in, Sink& out) {
  const std::uint64_t n = in.varint();
  out.u32(n);
  for (std::uint64_t i = 0; i < n; ++i) out.u64(in.varint());
}

template <class Sink>
void put_params(record::Cursor& in, Sink& out) {
  const std::uint64_t n = in.varint();
  out.u32(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    put_string(in, out);
    const std::uint8_t tag = in.u8();
    out.u8(tag);
    switch (static_cast<ParamValue::Tag>(tag)) {
      case ParamValue::Tag::Int:
        out.u64(static_cast<std::uint64_t>(record::unzigzag(in.varint())));
        break;
      case ParamValue::Tag::Float:
        out.u64(in.raw64());  // the stored bits: a NaN keeps its payload
        break;
      case ParamValue::Tag::Bool:
        out.u8(in.u8());
        break;
      case ParamValue::Tag::Str:
        put_string(in, out);
        break;
    }
  }
}

template <class Sink>
void put_stage_members(record::Cursor& in, Sink& out) {
  const std::uint64_t members = in.varint();
  out.u32(members);
  for (std::uint64_t k = 0; k < members; ++k) {
    put_string(in, out);
    const std::uint64_t refs = in.varint();
    out.u32(refs);
    for (std::uint64_t r = 0; r < refs; ++r) {
      out.u8(in.u8());
      out.u32(in.varint());
    }
  }
}

// The fields of one arena record, read from `in` and written in blob form.
template <class Sink>
struct BlobFields {
  record::Cursor& in;
  Sink& out;

  bool name() {
    put_string(in, out);
    return true;
  }
  bool descriptor(std::size_t) {
    put_string(in, out);
    return true;
  }
  bool preprocessing_ref() {
    const std::uint8_t has_ref = in.u8();
    out.u8(has_ref);
    if (has_ref != 0) put_string(in, out);
    return true;
  }
  bool params() {
    put_params(in, out);
    return true;
  }
  bool inputs() {
    put_ids(in, out);
    return true;
  }
  bool members() {
    put_stage_members(in, out);
    return true;
  }
};

// Flattened: the field writers are small, and calls between them cost more
// than the copying they do.
template <class Sink>
[[gnu::flatten]] void put_record(std::string_view bytes, Sink& out) {
  record::Cursor in(bytes);
  const std::uint8_t tag = in.u8();
  out.u8(tag);
  BlobFields<Sink> fields{in, out};
  record::walk_fields(static_cast<NodeTag>(tag), fields);
  assert(in.done() && "record longer than its fields");
}

template <class Sink>
void put_blob(const NodeArena& arena, std::span<const NodeId> outputs, Sink& out) {
  out.raw("ZIR1");
  out.u32(arena.size());
  InterruptPoints points;
  for (std::size_t i = 0; i < arena.size(); ++i) {
    points.tick();
    put_record(arena.record(i), out);
  }
  out.u32(outputs.size());
  for (NodeId id : outputs) out.u64(id);
}

}  // namespace

std::size_t blob_size(const NodeArena& arena, std::span<const NodeId> outputs) {
  // The magic, the node count, the records, the output count and ids.
  return 4 + 4 + arena.wide_size() + 4 + 8 * outputs.size();
}

Result<void, BlobTooLarge> write_blob(const NodeArena& arena, std::span<const NodeId> outputs,
                                      std::span<char> out, std::uint64_t max_count) {
  Emit emit{out.data(), max_count, std::nullopt};
  put_blob(arena, outputs, emit);
  assert(emit.at == out.data() + out.size() && "room of exactly blob_size bytes");
  if (emit.too_large) return BlobTooLarge{*emit.too_large};
  return {};
}

}  // namespace zembrik
