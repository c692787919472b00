// The byte record a graph keeps each key as, from outside ir/: the codec
// (encode, decode, canonical) and RecordView, which is how the passes read a
// record without decoding its key. The layout of the fields, and the
// builders and cursor that follow it, stay inside ir/ and serialize/
// (key_record.hpp).
//
// A record is canonical: two keys are equal exactly when their records, with
// NaN floats rewritten to the canonical NaN, are equal byte for byte.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ir/node_key.hpp"

namespace zembrik::record {

// Whether encoding keeps a NaN's payload or writes the canonical NaN.
enum class Nans { Keep, Canonicalize };

// Appends the record of `key` to `out`. Returns true when a float parameter
// of the key is a NaN, i.e. when the record's bytes are not yet canonical.
// Sets `*wide`, when given, to the record's wide_size.
bool encode(const NodeKey& key, std::string& out, Nans nans = Nans::Keep,
            std::size_t* wide = nullptr);

// Rebuilds the key of a record written by `encode`. A record whose parameter
// entries are out of key order decodes to the sorted map.
NodeKey decode(std::string_view record);

// The record with every NaN float rewritten to the canonical NaN.
std::string canonical(std::string_view record);

// The size of `record` with every varint widened to a fixed width: lengths,
// counts and stage indices to 4 bytes, ids and Ints to 8. The blob writes
// records in this form, so an arena keeps the sum as records come and go.
std::size_t wide_size(std::string_view record);

}  // namespace zembrik::record

namespace zembrik {

// A record read as the passes need it. `head` and `tail` are the record cut
// around its id list: the tag and the fields before the list, and what
// follows it (a Stage's members). Together they are the key apart from its
// inputs, so two records stand for keys equal up to inputs exactly when
// their heads and tails are equal (once NaNs are canonical).
struct RecordView {
  NodeTag tag;
  std::string_view head;
  std::string_view tail;
  bool has_inputs;                 // a Source has no id list
  std::span<const NodeId> inputs;  // in operand order; a Stage's stage-level inputs

  // Reads `record`; the inputs go to `buffer`, which `inputs` then views.
  static RecordView read(std::string_view record, NodeIds& buffer);
  // Appends the record of the same key with `inputs` as its id list.
  void append_with_inputs(std::span<const NodeId> inputs, std::string& out) const;
};

// The fields of a Source, Op, Reduction, Exchange or Join as views, for a
// producer that holds them apart (the binding, reading Python arguments).
// `params` must be in key order; a Source has no inputs.
struct PlainFields {
  NodeTag tag;
  std::string_view name;  // Source, Op and Reduction
  std::span<const ParamView> params;
  std::span<const NodeId> inputs;
};

namespace record {
// Appends the record `encode` writes for the key with these fields, without
// building the key. Returns true when a float parameter is a NaN. Sets
// `*wide`, when given, to the record's wide_size.
bool encode_fields(const PlainFields& fields, std::string& out, std::size_t* wide = nullptr);

// The same record written into `room` when it fits there, else into
// `overflow`, so that a caller with room on its stack allocates nothing;
// with its wide_size.
struct EncodedFields {
  std::string_view bytes;
  bool has_nan;
  std::size_t wide;
};
EncodedFields encode_fields(const PlainFields& fields, std::span<char> room, std::string& overflow);

// An upper bound of the size of the record of `fields`, from the sizes of
// its texts and the counts of its entries alone.
std::size_t size_bound(const PlainFields& fields);
}  // namespace record

// A Stage member as a record holds it.
struct MemberFields {
  std::string_view token;
  std::span<const StageRef> refs;
};

// Every field of a record, as views into it, for readers that build other
// objects from a record (Python's nodes()) without decoding its key. Fields
// the record's tag lacks are left empty. One object read record after record
// reuses its buffers.
struct RecordFields {
  NodeTag tag;
  std::string_view name;
  std::vector<ParamView> params;  // in key order
  NodeIds inputs;
  std::array<std::string_view, kDescriptorStrings.size()> descriptor;
  std::optional<std::string_view> preprocessing_ref;
  std::vector<MemberFields> members;

  void read(std::string_view record);

 private:
  std::vector<StageRef> refs_;  // the members' refs, back to back
};

// The tag of a record, its first byte.
inline NodeTag tag_of_record(std::string_view record) {
  return static_cast<NodeTag>(static_cast<unsigned char>(record[0]));
}

// Appends the input ids of `record` to `out`, for walks that gather them.
void append_inputs(std::string_view record, NodeIds& out);

// A member of a Stage being written: its token and its operands.
struct StageMemberView {
  std::string_view token;
  std::span<const StageRef> refs;
};

// Appends the record `encode` writes for the Stage over `inputs` with
// `members`, without building the key.
void append_stage_record(std::span<const NodeId> inputs, std::span<const StageMemberView> members,
                         std::string& out);

}  // namespace zembrik
