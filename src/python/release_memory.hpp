// release_free_memory: after a call that handled much data, hands what it
// freed back to the system.
//
// glibc keeps freed memory for reuse, up to twice its largest recent block,
// so a service that reduced one graph with a 20 MiB name would stay tens of
// MiB larger for no use. Trimming costs a walk over the free lists, and the
// next large call faults its pages in again: small beside a reduction or the
// end of a large store, which trim, but not beside a copy, which does not.
#pragma once

#include <cstddef>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace zembrik::py {

inline constexpr std::size_t kBytesWorthTrimming = std::size_t{16} << 20;

// Call without the interpreter lock: trimming can take a moment.
inline void release_free_memory(std::size_t bytes_handled) {
#ifdef __GLIBC__
  if (bytes_handled >= kBytesWorthTrimming) malloc_trim(0);
#else
  (void)bytes_handled;
#endif
}

// Declared first in a block, it trims when the block's other locals are gone.
class ReleaseFreeMemoryAtExit {
 public:
  explicit ReleaseFreeMemoryAtExit(std::size_t bytes_handled) : bytes_(bytes_handled) {}
  ~ReleaseFreeMemoryAtExit() { release_free_memory(bytes_); }
  ReleaseFreeMemoryAtExit(const ReleaseFreeMemoryAtExit&) = delete;
  ReleaseFreeMemoryAtExit& operator=(const ReleaseFreeMemoryAtExit&) = delete;

 private:
  std::size_t bytes_;
};

}  // namespace zembrik::py
