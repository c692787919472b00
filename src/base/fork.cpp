#include "base/fork.hpp"

#include <pthread.h>

#include <new>

namespace zembrik {
namespace detail {
std::atomic<std::uint64_t> fork_generation{0};
}

namespace {

// Outlives every static destructor: a thread may still repair an object
// while the process exits.
std::mutex* const repair = new std::mutex;

// Runs in the child, in the thread that forked, before anything else does.
void after_fork_in_child() noexcept {
  // Whoever held it in the parent does not exist here.
  new (repair) std::mutex;
  detail::fork_generation.fetch_add(1, std::memory_order_acq_rel);
}

const bool registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;

}  // namespace

std::mutex& fork_repair_mutex() noexcept {
  (void)registered;
  return *repair;
}

}  // namespace zembrik
