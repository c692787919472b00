#include "base/blake2b.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zembrik {
namespace {

std::string hex_digest(Blake2b hasher, const std::vector<std::string_view>& pieces) {
  for (std::string_view piece : pieces) hasher.update(piece);
  std::uint8_t out[Blake2b::kMaxDigestBytes];
  hasher.finish(out);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < hasher.digest_bytes(); ++i) {
    text += kHex[out[i] >> 4];
    text += kHex[out[i] & 15];
  }
  return text;
}

std::string bytes_0_to_255_three_times() {
  std::string data;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b) data += static_cast<char>(b);
  }
  return data;
}

// Expected values are what Python's hashlib.blake2b gives for the same input
// and parameters; the first two are also the algorithm's published vectors.
TEST(Blake2b, MatchesKnownDigests) {
  EXPECT_EQ(hex_digest(Blake2b(64), {"abc"}),
            "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
  EXPECT_EQ(hex_digest(Blake2b(64), {}),
            "786a02f742015903c6c6fd852552d272912f4740e15847618a86e217f71f5419"
            "d25e1031afee585313896444934eb04b903a685b1448b755d56f701afe9be2ce");
  const std::string data = bytes_0_to_255_three_times();
  EXPECT_EQ(hex_digest(Blake2b(16, "zembrik-task-v1"), {data}), "848702ebabd4fa05d788464eaea8d995");
  // Exactly one block, and one byte past it: the last block is compressed
  // as the last only when no more input follows.
  EXPECT_EQ(hex_digest(Blake2b(32), {std::string(128, 'x')}),
            "164ffb7089bae6f5a62fb0795e751dc9e88eac92e1a5b2fafe93a25abf2d9c3b");
  EXPECT_EQ(hex_digest(Blake2b(32), {std::string(129, 'x')}),
            "03b0758fa71d249c846c2304a2b9996e6ae66ffa7e5528f9e612e089a360fc8d");
}

TEST(Blake2b, PiecesHashAsTheirConcatenation) {
  const std::string data = bytes_0_to_255_three_times();
  const std::string whole = hex_digest(Blake2b(16, "zembrik-task-v1"), {data});
  const std::string_view view(data);
  for (std::size_t cut : {0, 1, 127, 128, 129, 255, 256, 700}) {
    EXPECT_EQ(hex_digest(Blake2b(16, "zembrik-task-v1"), {view.substr(0, cut), view.substr(cut)}),
              whole)
        << "cut at " << cut;
  }
}

}  // namespace
}  // namespace zembrik
