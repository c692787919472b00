// Writing records: the byte primitives and the field writers every producer
// of records shares, so the encoding of a varint, a string, a parameter map
// or a stage member is spelled out once.
//
// A sink is anything with u8, varint, word, raw64 and str; a word is a
// varint that record::wide_size counts as 8 bytes (an id or an Int), every
// other varint as 4. SizeBound adds up an upper bound of the bytes, Writer
// then writes them through a raw pointer into room made in one go, and
// Widened adds the wide size to either; append() runs the two over one
// callback, which
// keeps encoding cheap on the store's hot path. Builder grows as fields
// arrive, for a record whose size is only known once it has been read.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "ir/node_key.hpp"
#include "ir/record.hpp"

namespace zembrik::record {

// The longest varint: ten bytes for 64 bits.
inline constexpr std::size_t kMaxVarint = 10;

// Writes `v` as a varint at `at` and returns the end of what it wrote.
inline char* put_varint(char* at, std::uint64_t v) {
  while (v >= 0x80) {
    *at++ = static_cast<char>(v | 0x80);
    v >>= 7;
  }
  *at++ = static_cast<char>(v);
  return at;
}

// Copies `n` bytes. Names, keys and values are mostly short, and a short
// run moves as two overlapping fixed-size copies, a few instructions where
// a call to memcpy costs a dozen or more.
inline void copy_bytes(char* to, const char* from, std::size_t n) {
  if (n >= 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    std::uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

inline std::uint64_t zigzag(std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  return (u << 1) ^ (0 - (u >> 63));
}
inline std::int64_t unzigzag(std::uint64_t z) {
  return static_cast<std::int64_t>((z >> 1) ^ (0 - (z & 1)));
}

struct SizeBound {
  std::size_t bytes = 0;
  void u8(std::uint8_t) { bytes += 1; }
  void varint(std::uint64_t) { bytes += kMaxVarint; }
  void word(std::uint64_t) { bytes += kMaxVarint; }
  void raw64(std::uint64_t) { bytes += 8; }
  void str(std::string_view s) { bytes += kMaxVarint + s.size(); }
};

struct Writer {
  char* at;
  void u8(std::uint8_t byte) { *at++ = static_cast<char>(byte); }
  void varint(std::uint64_t v) { at = put_varint(at, v); }
  void word(std::uint64_t v) { at = put_varint(at, v); }
  // The eight raw bytes of a float, in host order.
  void raw64(std::uint64_t bits) {
    std::memcpy(at, &bits, sizeof bits);
    at += sizeof bits;
  }
  // A string field: its varint length, then its bytes.
  void str(std::string_view s) {
    varint(s.size());
    copy_bytes(at, s.data(), s.size());
    at += s.size();
  }
};

// `Sink` that also adds up the record::wide_size of what goes through it:
// 4 bytes for a count or length, 8 for an id or an Int.
template <class Sink>
struct Widened : Sink {
  std::size_t wide = 0;
  void u8(std::uint8_t byte) {
    Sink::u8(byte);
    wide += 1;
  }
  void varint(std::uint64_t v) {
    Sink::varint(v);
    wide += 4;
  }
  void word(std::uint64_t v) {
    Sink::word(v);
    wide += 8;
  }
  void raw64(std::uint64_t bits) {
    Sink::raw64(bits);
    wide += 8;
  }
  void str(std::string_view s) {
    Sink::str(s);
    wide += 4 + s.size();
  }
};

// Appends what `put(sink)` writes to `out`: measured by SizeBound, then
// written by Writer. Returns put's result from the writing run, and the
// record::wide_size of what it wrote in `*wide` when given.
template <class Put>
bool append(std::string& out, Put&& put, std::size_t* wide = nullptr) {
  Widened<SizeBound> bound;
  put(bound);
  if (wide != nullptr) *wide = bound.wide;
  const std::size_t begin = out.size();
  out.resize(begin + bound.bytes);
  Writer writer{out.data() + begin};
  const bool result = put(writer);
  out.resize(static_cast<std::size_t>(writer.at - out.data()));
  return result;
}

// A record that grows field by field in a reused buffer. Each primitive
// makes room for its longest form and then writes through Writer. It keeps
// pointers into its buffer, so it stays where it was made.
class Builder {
 public:
  Builder() : at_(buffer_.data()), end_(at_) {}
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  void clear() { at_ = buffer_.data(); }
  std::string_view view() const {
    return std::string_view(buffer_.data(), static_cast<std::size_t>(at_ - buffer_.data()));
  }

  void u8(std::uint8_t v) {
    write(1, [&](Writer& w) { w.u8(v); });
  }
  void varint(std::uint64_t v) {
    write(kMaxVarint, [&](Writer& w) { w.varint(v); });
  }
  void word(std::uint64_t v) { varint(v); }
  void raw64(std::uint64_t bits) {
    write(8, [&](Writer& w) { w.raw64(bits); });
  }
  void str(std::string_view s) {
    write(kMaxVarint + s.size(), [&](Writer& w) { w.str(s); });
  }

 private:
  template <class Put>
  void write(std::size_t most, Put&& put) {
    if (static_cast<std::size_t>(end_ - at_) < most) [[unlikely]]
      grow(most);
    Writer w{at_};
    put(w);
    at_ = w.at;
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    const auto used = static_cast<std::size_t>(at_ - buffer_.data());
    buffer_.resize(std::max(buffer_.size() * 2, used + n + 64));
    at_ = buffer_.data() + used;
    end_ = buffer_.data() + buffer_.size();
  }

  std::string buffer_;
  char* at_;   // the end of what is written
  char* end_;  // the end of the room
};

// An id list: varint count, varint ids.
template <class Sink>
void put_ids(Sink& out, std::span<const NodeId> ids) {
  out.varint(ids.size());
  for (NodeId id : ids) out.word(id);
}

// A stage member: its token, a varint ref count, per ref a tag byte and a
// varint index.
template <class Sink>
void put_member(Sink& out, std::string_view token, std::span<const StageRef> refs) {
  out.str(token);
  out.varint(refs.size());
  for (const StageRef& ref : refs) {
    out.u8(static_cast<std::uint8_t>(ref.tag));
    out.varint(ref.index);
  }
}

// A parameter entry: its key string, a value tag byte and the payload.
// Returns whether the value was a NaN.
template <class Sink>
bool put_param(Sink& out, const ParamView& param, Nans nans) {
  out.str(param.key);
  out.u8(static_cast<std::uint8_t>(param.tag));
  switch (param.tag) {
    case ParamValue::Tag::Int:
      out.word(zigzag(param.int_value));
      return false;
    case ParamValue::Tag::Float: {
      const double f = param.float_value;
      const bool nan = f != f;
      out.raw64(nan && nans == Nans::Canonicalize ? kCanonicalNanBits
                                                  : std::bit_cast<std::uint64_t>(f));
      return nan;
    }
    case ParamValue::Tag::Bool:
      out.u8(param.bool_value ? 1 : 0);
      return false;
    case ParamValue::Tag::Str:
      out.str(param.str_value);
      return false;
  }
  return false;
}

// A parameter block: varint count, then the entries. Returns whether a
// value was a NaN.
template <class Sink>
bool put_params(Sink& out, const ParamMap& params, Nans nans) {
  bool nan = false;
  out.varint(params.size());
  for (const auto& [key, value] : params) nan |= put_param(out, ParamView::of(key, value), nans);
  return nan;
}

}  // namespace zembrik::record
