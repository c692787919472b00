// without_gil: runs native work with the interpreter lock released, so that
// other Python threads go on while a long call works on its own copies.
//
//   NodeArena copy = without_gil([&] { return graph.snapshot().arena; });
//
// The work must not touch Python objects or the module state. The lock is
// taken back before the result or an exception leaves, so callers raise and
// build Python objects as usual. Core locks taken inside are released inside;
// no core lock is ever held while waiting for the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <utility>

namespace zembrik::py {

template <class Work>
decltype(auto) without_gil(Work&& work) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<Work>(work)();
}

// Hands the interpreter lock to waiting threads now and then, for long loops
// that must hold it; call poll() often. A waiting thread asks for the lock
// only after a whole switch interval in which no thread took it, and taking
// it back counts as taking it, so handing it over more often than that would
// keep every waiter from ever asking. Hence at most once per two intervals.
class GilHandover {
 public:
  GilHandover()
      : period_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(2 * switch_interval()))),
        last_(Clock::now()) {}

  void poll() {
    if (++calls_ % kCallsBetweenClockReads != 0) return;
    if (Clock::now() - last_ < period_) return;
    PyEval_RestoreThread(PyEval_SaveThread());
    last_ = Clock::now();
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kCallsBetweenClockReads = 64;

  // sys.getswitchinterval(), or CPython's default when it cannot be read.
  static double switch_interval() {
    constexpr double kDefault = 0.005;
    PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed
    PyObject* value = get != nullptr ? PyObject_CallNoArgs(get) : nullptr;
    const double seconds = value != nullptr ? PyFloat_AsDouble(value) : kDefault;
    Py_XDECREF(value);
    if (PyErr_Occurred()) PyErr_Clear();
    return seconds > 0 ? seconds : kDefault;
  }

  Clock::duration period_;
  Clock::time_point last_;
  unsigned calls_ = 0;
};

}  // namespace zembrik::py
