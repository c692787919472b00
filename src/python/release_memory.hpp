// Handing freed memory back to the system after calls over bulky stores.
//
// glibc keeps a freed block for reuse when it is no larger than the largest
// block it freed lately, so a service that reduced a graph with one 20 MiB
// name would stay tens of MiB larger for no use. Stores of ordinary records
// are left alone, however large: the next reduction reuses their memory, and
// after a trim it would fault every page in again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "python/shared_graph.hpp"

namespace zembrik::py {

// Huge names or parameter values: records far beyond a graph's usual size.
inline bool has_bulky_records(const SharedGraph& store) noexcept {
  constexpr std::uint64_t kBulkyBytes = std::uint64_t{16} << 20;
  constexpr std::uint64_t kBulkyBytesPerNode = std::uint64_t{64} << 10;
  try {
    const std::uint64_t bytes = store.byte_size();
    return bytes >= kBulkyBytes && bytes >= kBulkyBytesPerNode * store.node_count();
  } catch (const std::exception&) {
    return false;  // a poisoned store: nothing to decide by
  }
}

// Hands what the process freed back to the system. Call without the
// interpreter lock: trimming can take a moment.
inline void release_free_memory() noexcept {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

// Declared first in a block, it trims once the block's other locals are gone
// when `store` was bulky at the start.
class ReleaseFreeMemoryAtExit {
 public:
  explicit ReleaseFreeMemoryAtExit(const SharedGraph& store) : bulky_(has_bulky_records(store)) {}
  ~ReleaseFreeMemoryAtExit() {
    if (bulky_) release_free_memory();
  }
  ReleaseFreeMemoryAtExit(const ReleaseFreeMemoryAtExit&) = delete;
  ReleaseFreeMemoryAtExit& operator=(const ReleaseFreeMemoryAtExit&) = delete;

 private:
  bool bulky_;
};

}  // namespace zembrik::py
