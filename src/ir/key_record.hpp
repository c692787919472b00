// The compact byte record a store keeps each key as.
//
// A record is canonical: two keys are equal exactly when their records, with
// NaN floats rewritten to the canonical NaN, are equal byte for byte. So the
// store hashes and compares records without rebuilding keys, and decodes a
// key only when a read hands out a copy. Lengths, counts and ids are LEB128
// varints and Ints are zigzag varints, which keeps typical nodes to a few
// dozen bytes; floats keep their own eight bytes (a NaN keeps its payload).
// Records never leave the process; the blob format is separate. This header
// is for ir/ and serialize/; other layers read records through RecordView
// (record.hpp).
//
// A record is the tag byte, then the fields of that tag in the order
// record_layout.hpp gives: strings (varint length, bytes), the parameter
// block (varint count; per entry the key string, the value tag byte and its
// payload), the presence byte of an External's preprocessing_ref, id lists
// (varint count, varint ids), and a Stage's members (varint count; per member
// the token string, a varint ref count and per ref a tag byte and varint
// index). record_builder.hpp writes them; Cursor reads them back, so other
// formats transcode records field by field.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "ir/node_key.hpp"
#include "ir/record.hpp"
#include "ir/record_builder.hpp"
#include "ir/record_layout.hpp"

namespace zembrik::record {

// Reads a record's primitives front to back. Records come from inside the
// process, so running past the end is a bug, asserted rather than reported.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::uint8_t u8() {
    assert(at_ < end_ && "record ends early");
    return static_cast<std::uint8_t>(*at_++);
  }
  std::uint64_t varint() {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t byte = u8();
      v |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if (byte < 0x80) return v;
    }
  }
  // The eight raw bytes of a float, in host order.
  std::uint64_t raw64() {
    assert(end_ - at_ >= 8 && "record float overruns");
    std::uint64_t bits;
    std::memcpy(&bits, at_, sizeof bits);
    at_ += sizeof bits;
    return bits;
  }
  // A string field: its varint length, then its bytes.
  std::string_view str() {
    const std::uint64_t n = varint();
    assert(n <= static_cast<std::uint64_t>(end_ - at_) && "record string overruns");
    const std::string_view s(at_, n);
    at_ += n;
    return s;
  }
  bool done() const { return at_ == end_; }
  // Bytes read so far.
  std::size_t offset(std::string_view bytes) const {
    return static_cast<std::size_t>(at_ - bytes.data());
  }

 private:
  const char* at_;
  const char* end_;
};

// A record cut around its id list: `head` is the tag and the fields before
// the list, `tail` what follows it (a Stage's members). Head and tail
// together are the key apart from its inputs.
struct Split {
  std::string_view head;
  std::string_view tail;
  bool has_inputs;  // a Source has no id list
};

// Cuts `record` and appends its input ids to `inputs`, without decoding the
// rest of the key.
Split split_at_inputs(std::string_view record, NodeIds& inputs);
// Appends the record of the same key with `inputs` as its id list.
void append_with_inputs(const Split& split, std::span<const NodeId> inputs, std::string& out);

// A parameter entry as put_param writes it, viewed in the record.
inline ParamView read_param(Cursor& in) {
  ParamView p{in.str(), ParamValue::Tag::Int, 0, 0.0, false, {}};
  p.tag = static_cast<ParamValue::Tag>(in.u8());
  switch (p.tag) {
    case ParamValue::Tag::Int:
      p.int_value = unzigzag(in.varint());
      break;
    case ParamValue::Tag::Float:
      p.float_value = std::bit_cast<double>(in.raw64());
      break;
    case ParamValue::Tag::Bool:
      p.bool_value = in.u8() != 0;
      break;
    case ParamValue::Tag::Str:
      p.str_value = in.str();
      break;
  }
  return p;
}

}  // namespace zembrik::record
