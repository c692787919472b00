// Python's marshal format, version 2, for the few value types a node's
// content is made of: what marshal.dumps(value, 2) writes, byte for byte.
// Version 2 has no back-references and no marks for interned or short
// strings, so equal values always give equal bytes, whatever objects hold
// them; the lowering's task keys digest these bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "ir/params.hpp"

namespace zembrik::py::marshal_v2 {

inline void put_u32(std::string& out, std::uint32_t x) {
  const char bytes[4] = {static_cast<char>(x), static_cast<char>(x >> 8),
                         static_cast<char>(x >> 16), static_cast<char>(x >> 24)};
  out.append(bytes, 4);
}

// `utf8` must be valid UTF-8, as every text a store holds is.
inline void put_str(std::string& out, std::string_view utf8) {
  out += 'u';
  put_u32(out, static_cast<std::uint32_t>(utf8.size()));
  out += utf8;
}

inline void put_none(std::string& out) {
  out += 'N';
}
inline void put_bool(std::string& out, bool b) {
  out += b ? 'T' : 'F';
}

inline void put_int(std::string& out, std::int64_t x) {
  if (x >= INT32_MIN && x <= INT32_MAX) {
    out += 'i';
    put_u32(out, static_cast<std::uint32_t>(x));
    return;
  }
  // Larger ints are written as their magnitude in base 2**15, least
  // significant digit first, after the signed digit count.
  const std::uint64_t magnitude =
      x < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
  int count = 0;
  for (std::uint64_t rest = magnitude; rest != 0; rest >>= 15) ++count;
  out += 'l';
  put_u32(out, static_cast<std::uint32_t>(x < 0 ? -count : count));
  for (std::uint64_t rest = magnitude; rest != 0; rest >>= 15) {
    out += static_cast<char>(rest & 0xff);
    out += static_cast<char>((rest >> 8) & 0x7f);
  }
}

inline void put_float(std::string& out, double d) {
  out += 'g';
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  put_u32(out, static_cast<std::uint32_t>(bits));
  put_u32(out, static_cast<std::uint32_t>(bits >> 32));
}

// A dict's items follow its mark; a null ends them.
inline void begin_dict(std::string& out) {
  out += '{';
}
inline void end_dict(std::string& out) {
  out += '0';
}
inline void begin_list(std::string& out, std::size_t n) {
  out += '[';
  put_u32(out, static_cast<std::uint32_t>(n));
}
inline void begin_tuple(std::string& out, std::size_t n) {
  out += '(';
  put_u32(out, static_cast<std::uint32_t>(n));
}

inline void put_param_value(std::string& out, const ParamView& p) {
  switch (p.tag) {
    case ParamValue::Tag::Int:
      put_int(out, p.int_value);
      return;
    case ParamValue::Tag::Float:
      put_float(out, p.float_value);
      return;
    case ParamValue::Tag::Bool:
      put_bool(out, p.bool_value);
      return;
    case ParamValue::Tag::Str:
      put_str(out, p.str_value);
      return;
  }
}

// A params dict, its entries in the order given (nodes() gives key order).
inline void put_params(std::string& out, std::span<const ParamView> params) {
  begin_dict(out);
  for (const ParamView& p : params) {
    put_str(out, p.key);
    put_param_value(out, p);
  }
  end_dict(out);
}

}  // namespace zembrik::py::marshal_v2
