// without_gil: runs native work with the interpreter lock released, so that
// other Python threads go on while a long call works on its own copies.
//
//   NodeArena copy = without_gil([&] { return store.snapshot().arena; });
//
// The work must not touch Python objects or the module state. The lock is
// taken back before the result or an exception leaves, so callers raise and
// build Python objects as usual. Core locks taken inside are released inside;
// no core lock is ever held while waiting for the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// Lets threads that wait for the interpreter lock have it for a moment, when
// one of them has asked; for long loops that must hold the lock.
inline void let_others_run() {
  PyEval_RestoreThread(PyEval_SaveThread());
}

}  // namespace zembrik::py
