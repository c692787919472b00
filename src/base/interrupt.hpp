// Interruption points for long loops.
//
// The core never reads signals itself. A caller that wants a long call to
// stop when asked (the binding, so that Ctrl-C and a service's shutdown
// handler work) installs an InterruptCheck for its thread with
// ScopedInterruptCheck; the loops of the long operations tick an
// InterruptPoints once per unit of work, and every so often the installed
// check runs. A check that wants the work to stop throws Interrupted.
//
// Interrupted unwinds like a failed allocation: every operation that ticks
// leaves the objects it changes as they were before the call, and Guarded
// does not take it for a broken invariant.
#pragma once

#include <exception>

namespace zembrik {

class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

class InterruptCheck {
 public:
  // Called at most every InterruptPoints::kStride units of work; cheap
  // checks decide for themselves how often to do anything costly.
  virtual void check() = 0;

 protected:
  ~InterruptCheck() = default;
};

namespace detail {
inline thread_local InterruptCheck* installed_check = nullptr;
}

// Installs `check` for the calling thread for the life of the object.
class ScopedInterruptCheck {
 public:
  explicit ScopedInterruptCheck(InterruptCheck& check) noexcept
      : previous_(detail::installed_check) {
    detail::installed_check = &check;
  }
  ~ScopedInterruptCheck() { detail::installed_check = previous_; }
  ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
  ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

 private:
  InterruptCheck* previous_;
};

// One per loop: tick() once per unit of work. Looking at the thread's check
// only every kStride ticks keeps the cost of a tick to a decrement.
class InterruptPoints {
 public:
  static constexpr unsigned kStride = 1024;

  void tick() {
    if (--left_ != 0) [[likely]]
      return;
    left_ = kStride;
    if (InterruptCheck* check = detail::installed_check) check->check();
  }

 private:
  unsigned left_ = kStride;
};

}  // namespace zembrik
