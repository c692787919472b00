// The keyed hash: SipHash checked against its published vectors, keys that
// change every hash, and the word hasher agreeing with the byte hasher.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/hash.hpp"

namespace zembrik {
namespace {

// The reference key 00 01 .. 0f.
constexpr HashKey kReferenceKey{0x0706050403020100ULL, 0x0F0E0D0C0B0A0908ULL};

std::string counting_bytes(std::size_t n) {
  std::string bytes;
  for (std::size_t i = 0; i < n; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST(SipHash, TwoFourMatchesThePublishedVectors) {
  // The shared rounds are what SipHash-1-3 runs too, with fewer of them.
  EXPECT_EQ((detail::siphash<2, 4>(counting_bytes(0), kReferenceKey)), 0x726FDB47DD0E0E31ULL);
  EXPECT_EQ((detail::siphash<2, 4>(counting_bytes(15), kReferenceKey)), 0xA129CA6149BE45E5ULL);
}

TEST(SipHash, EveryKeyBitAndLengthMatters) {
  const std::string text = "op|add|scalar=f0000000000000000;side=sr";
  const std::uint64_t base = keyed_hash(text, kReferenceKey);
  for (int bit = 0; bit < 64; ++bit) {
    EXPECT_NE(keyed_hash(text, {kReferenceKey.k0 ^ (1ULL << bit), kReferenceKey.k1}), base);
    EXPECT_NE(keyed_hash(text, {kReferenceKey.k0, kReferenceKey.k1 ^ (1ULL << bit)}), base);
  }
  // A trailing NUL changes the length byte, though not the padded words.
  EXPECT_NE(keyed_hash(std::string("ab", 2), kReferenceKey),
            keyed_hash(std::string("ab\0", 3), kReferenceKey));
  EXPECT_NE(keyed_hash(text), keyed_hash(text, seeded_key(1)));
}

TEST(SipHash, WordHasherHashesTheWordsBytes) {
  const std::uint64_t words[] = {7, 0xFFFFFFFF00000001ULL, 42};
  std::string bytes(sizeof words, '\0');
  std::memcpy(bytes.data(), words, sizeof words);
  KeyedHasher hasher(kReferenceKey);
  for (const std::uint64_t word : words) hasher.add(word);
  EXPECT_EQ(hasher.finish(), keyed_hash(bytes, kReferenceKey));
}

TEST(ProcessKey, IsDrawnOnceAndIsNotZero) {
  const HashKey& first = process_hash_key();
  EXPECT_EQ(&first, &process_hash_key());
  EXPECT_TRUE(first.k0 != 0 || first.k1 != 0);
}

}  // namespace
}  // namespace zembrik
