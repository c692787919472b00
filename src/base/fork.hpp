// Fork generations: 0 in the process that loaded the library, one more in
// each child that fork() makes, so that an object can tell that it was last
// used before a fork.
//
// A child holds only the thread that forked. A lock that another thread held
// at that moment is copied taken, and no thread of the child will ever let it
// go; whatever waits for it waits forever.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace zembrik {

namespace detail {
extern std::atomic<std::uint64_t> fork_generation;
}

inline std::uint64_t fork_generation() noexcept {
  return detail::fork_generation.load(std::memory_order_acquire);
}

// A process-wide lock for putting objects right after a fork; a child starts
// with it free, whatever its parent's threads were doing.
std::mutex& fork_repair_mutex() noexcept;

}  // namespace zembrik
