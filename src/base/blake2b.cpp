#include "base/blake2b.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

namespace zembrik {
namespace {

constexpr std::array<std::uint64_t, 8> kIv = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

constexpr std::uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

inline std::uint64_t rotr(std::uint64_t x, int n) {
  return (x >> n) | (x << (64 - n));
}

inline std::uint64_t load_le64(const std::uint8_t* p) {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

// The mixing function over four words of the working vector, kept in
// locals so that the whole vector can live in registers.
#define ZEMBRIK_BLAKE2B_G(a, b, c, d, x, y) \
  do {                                      \
    a = a + b + (x);                        \
    d = rotr(d ^ a, 32);                    \
    c = c + d;                              \
    b = rotr(b ^ c, 24);                    \
    a = a + b + (y);                        \
    d = rotr(d ^ a, 16);                    \
    c = c + d;                              \
    b = rotr(b ^ c, 63);                    \
  } while (false)

}  // namespace

Blake2b::Blake2b(std::size_t digest_bytes, std::string_view person)
    : h_(kIv), digest_bytes_(digest_bytes) {
  assert(digest_bytes >= 1 && digest_bytes <= kMaxDigestBytes);
  assert(person.size() <= kPersonBytes);
  // The parameter block: digest length, no key, fanout 1, depth 1, and the
  // personalization in its last sixteen bytes.
  std::array<std::uint8_t, 64> block{};
  block[0] = static_cast<std::uint8_t>(digest_bytes);
  block[2] = 1;
  block[3] = 1;
  std::copy(person.begin(), person.end(), block.begin() + 48);
  for (int i = 0; i < 8; ++i) h_[i] ^= load_le64(block.data() + 8 * i);
}

void Blake2b::compress(const std::uint8_t* block, bool last) {
  std::uint64_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = load_le64(block + 8 * i);
  std::uint64_t v0 = h_[0], v1 = h_[1], v2 = h_[2], v3 = h_[3];
  std::uint64_t v4 = h_[4], v5 = h_[5], v6 = h_[6], v7 = h_[7];
  std::uint64_t v8 = kIv[0], v9 = kIv[1], v10 = kIv[2], v11 = kIv[3];
  std::uint64_t v12 = kIv[4] ^ counter_low_, v13 = kIv[5] ^ counter_high_;
  std::uint64_t v14 = last ? ~kIv[6] : kIv[6], v15 = kIv[7];
  // Unrolled, the schedule becomes constant offsets into m.
#pragma GCC unroll 12
  for (const auto& s : kSigma) {
    ZEMBRIK_BLAKE2B_G(v0, v4, v8, v12, m[s[0]], m[s[1]]);
    ZEMBRIK_BLAKE2B_G(v1, v5, v9, v13, m[s[2]], m[s[3]]);
    ZEMBRIK_BLAKE2B_G(v2, v6, v10, v14, m[s[4]], m[s[5]]);
    ZEMBRIK_BLAKE2B_G(v3, v7, v11, v15, m[s[6]], m[s[7]]);
    ZEMBRIK_BLAKE2B_G(v0, v5, v10, v15, m[s[8]], m[s[9]]);
    ZEMBRIK_BLAKE2B_G(v1, v6, v11, v12, m[s[10]], m[s[11]]);
    ZEMBRIK_BLAKE2B_G(v2, v7, v8, v13, m[s[12]], m[s[13]]);
    ZEMBRIK_BLAKE2B_G(v3, v4, v9, v14, m[s[14]], m[s[15]]);
  }
  h_[0] ^= v0 ^ v8;
  h_[1] ^= v1 ^ v9;
  h_[2] ^= v2 ^ v10;
  h_[3] ^= v3 ^ v11;
  h_[4] ^= v4 ^ v12;
  h_[5] ^= v5 ^ v13;
  h_[6] ^= v6 ^ v14;
  h_[7] ^= v7 ^ v15;
}

#undef ZEMBRIK_BLAKE2B_G

void Blake2b::update(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t left = bytes.size();
  // A full buffer is compressed only once more input arrives, since the
  // last block must be compressed as the last.
  while (left > 0) {
    if (buffered_ == kBlockBytes) {
      counter_low_ += kBlockBytes;
      if (counter_low_ < kBlockBytes) ++counter_high_;
      compress(buffer_.data(), false);
      buffered_ = 0;
    }
    const std::size_t take = std::min(left, kBlockBytes - buffered_);
    std::memcpy(buffer_.data() + buffered_, p, take);
    buffered_ += take;
    p += take;
    left -= take;
  }
}

void Blake2b::finish(std::uint8_t* out) {
  counter_low_ += buffered_;
  if (counter_low_ < buffered_) ++counter_high_;
  std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_), buffer_.end(), 0);
  compress(buffer_.data(), true);
  for (std::size_t i = 0; i < digest_bytes_; ++i) {
    out[i] = static_cast<std::uint8_t>(h_[i / 8] >> (8 * (i % 8)));
  }
}

}  // namespace zembrik
