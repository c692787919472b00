// Fast seeded hashing of byte strings for in-process tables.
//
// These hashes are seeded and never persisted or shown; anything that must be
// the same in every process (the symbol shards, say) uses its own fixed hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zembrik {

// The high and low halves of the 128-bit product, folded together: a strong,
// cheap mixer.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

inline std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) {
  constexpr std::uint64_t k0 = 0xA0761D6478BD642FULL;
  constexpr std::uint64_t k1 = 0xE7037ED1A0B428DBULL;
  constexpr std::uint64_t k2 = 0x8EBC6AF09C88C6E3ULL;
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t h = seed ^ fold_multiply(n ^ k0, k1);
  auto load = [](const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
  };
  while (n >= 16) {
    h = fold_multiply(load(p) ^ k1 ^ h, load(p + 8) ^ k2);
    p += 16;
    n -= 16;
  }
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 8) {
    a = load(p);
    b = load(p + n - 8);  // overlaps the first word when n < 16
  } else if (n > 0) {
    std::memcpy(&a, p, n);
  }
  h = fold_multiply(a ^ k1 ^ h, b ^ k2);
  return fold_multiply(h ^ k0, n ^ k2);
}

}  // namespace zembrik
