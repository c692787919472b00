// Guarded<T>: a value behind one mutex.
//
// A mutation that fails part way may leave the value half-updated, so an
// exception escaping `with` poisons the value for good and every later
// access fails with the owner's message. A failed allocation does not: every
// mutation run through `with` leaves the value as it was when it runs out of
// memory, so the caller gets MemoryError and the data stays usable. Readers
// (the const `with`) change nothing and never poison.
#pragma once

#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "base/failure.hpp"

namespace zembrik {

template <class T>
class Guarded {
 public:
  template <class... Args>
  // `poisoned_message` must outlive the value: a literal, so that making a
  // Guarded allocates nothing but the value.
  explicit Guarded(const char* poisoned_message,
                   Args&&... args) noexcept(std::is_nothrow_constructible_v<T, Args&&...>)
      : message_(poisoned_message), value_(std::forward<Args>(args)...) {}

  // Runs `f` on the value under the lock and returns what it returns. `f`
  // must undo its changes before letting std::bad_alloc escape.
  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard lock(mutex_);
    check_not_poisoned();
    try {
      return std::forward<F>(f)(value_);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }
  template <class F>
  decltype(auto) with(F&& f) const {
    std::lock_guard lock(mutex_);
    check_not_poisoned();
    return std::forward<F>(f)(std::as_const(value_));
  }

 private:
  void check_not_poisoned() const {
    if (poisoned_) fail(message_);
  }

  mutable std::mutex mutex_;
  bool poisoned_ = false;
  const char* message_;
  T value_;
};

}  // namespace zembrik
