// The compact byte record a store keeps each key as.
//
// A record is canonical: two keys are equal exactly when their records, with
// NaN floats rewritten to the canonical NaN, are equal byte for byte. So the
// store hashes and compares records without rebuilding keys, and decodes a
// key only when a read hands out a copy. Lengths, counts and ids are LEB128
// varints and Ints are zigzag varints, which keeps typical nodes to a few
// dozen bytes; floats keep their own eight bytes (a NaN keeps its payload).
// Records never leave the process; the blob format is separate.
#pragma once

#include <string>
#include <string_view>

#include "ir/node_key.hpp"

namespace zembrik::record {

enum class Nans { Keep, Canonicalize };

// Appends the record of `key` to `out`. Returns true when a float parameter
// of the key is a NaN, i.e. when the record's bytes are not yet canonical.
bool encode(const NodeKey& key, std::string& out, Nans nans = Nans::Keep);
bool encode_params(const ParamMap& params, std::string& out, Nans nans = Nans::Keep);
void encode_value(const ParamValue& value, std::string& out, Nans nans = Nans::Keep);

// Rebuilds the key of a record written by `encode`.
NodeKey decode(std::string_view record);

// The record with every NaN float rewritten to the canonical NaN.
std::string canonical(std::string_view record);

}  // namespace zembrik::record
