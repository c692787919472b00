#include "base/hash.hpp"

#include <sys/random.h>

#include <chrono>

namespace zembrik {
namespace {

HashKey draw_key() {
  HashKey key;
  std::uint64_t words[2];
  char* at = reinterpret_cast<char*>(words);
  std::size_t left = sizeof words;
  while (left > 0) {
    const ssize_t got = getrandom(at, left, 0);
    if (got <= 0) break;
    at += got;
    left -= static_cast<std::size_t>(got);
  }
  if (left == 0) return HashKey{words[0], words[1]};
  // Without the kernel's randomness the tables still work; they are only
  // easier to flood. Every table keeps working either way.
  const auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  key.k0 = now ^ reinterpret_cast<std::uintptr_t>(&key);
  key.k1 = ~now * 0x9E3779B97F4A7C15ULL;
  return key;
}

}  // namespace

const HashKey& process_hash_key() {
  static const HashKey key = draw_key();
  return key;
}

}  // namespace zembrik
