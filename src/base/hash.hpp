// Which hash a table uses. Two kinds, kept apart by name:
//
// Keyed (this file: keyed_hash, KeyedHasher, KeyedTextHash): SipHash-1-3
// under a key drawn at random once per process, so nobody can choose keys
// that collide. Every table whose keys input can steer (op names, parameter
// values, blobs, graph shapes) uses it: the arena's record index, the slots
// of the symbol tables, the e-graph's hash-cons of nodes and the pattern
// reader's index of them, the optimizer's identity, token and engine-node
// tables.
//
// Fixed (eqsat/hashing.hpp: fixed_hash_bytes, mix64): the same in every
// process. Only for what must agree across processes (the shard a symbol's
// text lands in) and for tables keyed by handles the program numbers itself
// (symbols and pattern variables, by handle).
//
// Nothing keyed may reach a result.
//
//   std::uint64_t h = keyed_hash(text);                 // bytes
//   KeyedHasher words;  words.add(a);  words.add(b);    // 64-bit words
//   std::uint64_t g = words.finish();
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace zembrik {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// Random, drawn from the kernel the first time it is asked for.
const HashKey& process_hash_key();

// The process key varied by `seed`, for callers that want several hashes.
inline HashKey seeded_key(std::uint64_t seed) {
  return HashKey{process_hash_key().k0 ^ seed, process_hash_key().k1};
}

namespace detail {

inline std::uint64_t rotl(std::uint64_t x, int bits) {
  return (x << bits) | (x >> (64 - bits));
}

// SipHash's state with its compression and finalization rounds as template
// arguments; tests check the 2-4 variant against the published vectors.
template <int kCompression, int kFinalization>
class SipState {
 public:
  explicit SipState(const HashKey& key)
      : v0_(key.k0 ^ 0x736F6D6570736575ULL),
        v1_(key.k1 ^ 0x646F72616E646F6DULL),
        v2_(key.k0 ^ 0x6C7967656E657261ULL),
        v3_(key.k1 ^ 0x7465646279746573ULL) {}

  void compress(std::uint64_t word) {
    v3_ ^= word;
    for (int i = 0; i < kCompression; ++i) round();
    v0_ ^= word;
  }

  // `length` is the byte count of the whole message; `tail` holds its last
  // length % 8 bytes, little-endian.
  std::uint64_t finish(std::uint64_t length, std::uint64_t tail) {
    compress(tail | (length << 56));
    v2_ ^= 0xFF;
    for (int i = 0; i < kFinalization; ++i) round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  void round() {
    v0_ += v1_;
    v1_ = rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = rotl(v0_, 32);
    v2_ += v3_;
    v3_ = rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = rotl(v2_, 32);
  }

  std::uint64_t v0_, v1_, v2_, v3_;
};

template <int kCompression, int kFinalization>
std::uint64_t siphash(std::string_view bytes, const HashKey& key) {
  SipState<kCompression, kFinalization> state(key);
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  const char* const end = p + (n & ~std::size_t{7});
  for (; p != end; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);  // the byte order is the machine's: little-endian here
    state.compress(word);
  }
  std::uint64_t tail = 0;
  if ((n & 7) != 0) std::memcpy(&tail, p, n & 7);  // an empty view may have no data
  return state.finish(n, tail);
}

}  // namespace detail

// SipHash-1-3 of `bytes`.
inline std::uint64_t keyed_hash(std::string_view bytes, const HashKey& key = process_hash_key()) {
  return detail::siphash<1, 3>(bytes, key);
}

// keyed_hash as a hash functor for tables keyed by text; transparent, so a
// table of strings takes views for lookups.
struct KeyedTextHash {
  using is_transparent = void;
  std::uint64_t operator()(std::string_view text) const { return keyed_hash(text); }
};

// SipHash-1-3 of a sequence of 64-bit words, for keys made of ids.
class KeyedHasher {
 public:
  explicit KeyedHasher(const HashKey& key = process_hash_key()) : state_(key) {}
  void add(std::uint64_t word) {
    state_.compress(word);
    ++words_;
  }
  std::uint64_t finish() { return state_.finish(words_ * 8, 0); }

 private:
  detail::SipState<1, 3> state_;
  std::uint64_t words_ = 0;
};

}  // namespace zembrik
