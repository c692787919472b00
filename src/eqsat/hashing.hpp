// Fixed, unkeyed 64-bit hashing: the same bytes hash the same way in every
// process. Which tables may use it is ruled in base/hash.hpp.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace zembrik::eqsat {

inline constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;

// Spreads every input bit over the whole word; tables take their slot from
// the high bits and their tag from the low bits.
inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ULL;
  x ^= x >> 29;
  x *= kGoldenGamma;
  x ^= x >> 32;
  return x;
}

inline std::uint64_t rotate_left(std::uint64_t x, unsigned bits) {
  return (x << bits) | (x >> (64 - bits));
}

// Folds one word into a running hash; finish with mix64.
inline std::uint64_t hash_step(std::uint64_t h, std::uint64_t word) {
  return rotate_left((h ^ word) * kGoldenGamma, 29);
}

inline std::uint64_t fixed_hash_bytes(std::string_view bytes) {
  std::uint64_t h = hash_step(0, bytes.size());
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + at, 8);
    h = hash_step(h, word);
  }
  if (at < bytes.size()) {
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
    h = hash_step(h, tail);
  }
  return mix64(h);
}

}  // namespace zembrik::eqsat
