// BLAKE2b, for digests that must be the same in every process and equal to
// what Python's hashlib.blake2b gives for the same parameters: the keys of
// lowered task graphs are such digests. Unkeyed, sequential mode only.
//
//   Blake2b hasher(16, "person");  hasher.update(bytes);
//   std::array<std::uint8_t, 64> out;  hasher.finish(out.data());
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zembrik {

class Blake2b {
 public:
  static constexpr std::size_t kBlockBytes = 128;
  static constexpr std::size_t kMaxDigestBytes = 64;
  static constexpr std::size_t kPersonBytes = 16;

  // `digest_bytes` is 1..64; `person` at most 16 bytes, zero-padded.
  explicit Blake2b(std::size_t digest_bytes, std::string_view person = {});

  void update(std::string_view bytes);
  // Writes digest_bytes() bytes to `out`. The hasher is spent afterwards.
  void finish(std::uint8_t* out);

  std::size_t digest_bytes() const { return digest_bytes_; }

 private:
  void compress(const std::uint8_t* block, bool last);

  std::array<std::uint64_t, 8> h_;
  std::array<std::uint8_t, kBlockBytes> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t counter_low_ = 0;
  std::uint64_t counter_high_ = 0;
  std::size_t digest_bytes_;
};

}  // namespace zembrik
