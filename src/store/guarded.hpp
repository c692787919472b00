// Guarded<T>: a value behind one mutex that is poisoned for good when an
// exception escapes while the lock is held, because the value may then be
// half-updated. Every later access fails with the owner's message.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "ir/result.hpp"

namespace zembrik {

template <class T>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(std::string poisoned_message, Args&&... args)
      : message_(std::move(poisoned_message)), value_(std::forward<Args>(args)...) {}

  // Runs `f` on the value under the lock and returns what it returns.
  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard lock(mutex_);
    PoisonOnUnwind guard(*this);
    return std::forward<F>(f)(value_);
  }
  template <class F>
  decltype(auto) with(F&& f) const {
    std::lock_guard lock(mutex_);
    PoisonOnUnwind guard(*this);
    return std::forward<F>(f)(std::as_const(value_));
  }

 private:
  class PoisonOnUnwind {
   public:
    explicit PoisonOnUnwind(const Guarded& owner)
        : owner_(owner), exceptions_(std::uncaught_exceptions()) {
      if (owner_.poisoned_) throw InternalFailure(owner_.message_);
    }
    ~PoisonOnUnwind() {
      if (std::uncaught_exceptions() > exceptions_) owner_.poisoned_ = true;
    }

   private:
    const Guarded& owner_;
    int exceptions_;
  };

  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;
  std::string message_;
  T value_;
};

}  // namespace zembrik
