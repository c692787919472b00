// The interpreter lock around long native work.
//
//   NodeArena copy = without_gil([&] { return graph.snapshot().arena; });
//
// The work must not touch Python objects or the module state. The lock is
// taken back before the result or an exception leaves, so callers raise and
// build Python objects as usual. Core locks taken inside are released inside.
//
// Taking the lock back goes through retake(), which knows what a plain
// PyEval_RestoreThread does not:
// - Once the interpreter has begun to exit, it ends any other thread that
//   asks for the lock with pthread_exit, whose unwinding through our
//   noexcept frames aborts the process. Such a thread parks for good
//   instead: the process exits around it.
// - In the main thread, work that runs for long takes the lock back every
//   few milliseconds to run pending signal handlers; when one raises (Ctrl-C
//   raises KeyboardInterrupt), the work stops with Interrupted and the call
//   raises the handler's exception.
//
// Lock order: a thread that holds the interpreter lock never blocks on a
// core lock (it tries, and waits only after letting the interpreter lock go:
// WaitWithoutGil), so a core lock's holder that waits for the interpreter
// lock, as a signal check under the reducer's lock does, always gets it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <utility>

#include "base/interrupt.hpp"

namespace zembrik::py {

// Per interpreter: whether it has begun to exit (python/gil.cpp).
struct ExitWatch;

// Registers the exit hook of the calling interpreter; at module exec.
[[nodiscard]] int watch_interpreter_exit();

// The interpreter lock let go for the life of the object, taken back with
// retake() when it ends. Made and ended by the thread that held the lock.
class ReleasedGil : private InterruptCheck {
 public:
  ReleasedGil();
  ~ReleasedGil();
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  using Clock = std::chrono::steady_clock;

  // Runs pending signal handlers when the last run is long enough ago.
  void check() override;

  ExitWatch* watch_;
  PyThreadState* state_;
  bool main_thread_;
  Clock::time_point last_check_;
  ScopedInterruptCheck installed_;
};

template <class Work>
decltype(auto) without_gil(Work&& work) {
  const ReleasedGil released;
  return std::forward<Work>(work)();
}

// For Guarded::with and SharedGraph: a busy core lock is waited for, and the
// locked call run, with the interpreter lock let go.
struct WaitWithoutGil {
  template <class Locked>
  decltype(auto) operator()(Locked&& locked) const {
    return without_gil(std::forward<Locked>(locked));
  }
};

// Hands the interpreter lock to waiting threads now and then, and runs
// pending signal handlers, for long loops that must hold it; call poll()
// often. A waiting thread asks for the lock only after a whole switch
// interval in which no thread took it, and taking it back counts as taking
// it, so handing it over more often than that would keep every waiter from
// ever asking. Hence at most once per two intervals.
class GilHandover {
 public:
  GilHandover();

  // False, with the exception set, when a signal handler raised.
  [[nodiscard]] bool poll() {
    if (++calls_ % kCallsBetweenClockReads != 0) return true;
    return poll_now();
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kCallsBetweenClockReads = 64;

  bool poll_now();

  ExitWatch* watch_;
  Clock::duration period_;
  Clock::time_point last_;
  unsigned calls_ = 0;
};

}  // namespace zembrik::py
