// IncrementalReducer: the Python class that owns one incremental reducer
// behind its own mutex.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/guarded.hpp"
#include "optimizer/incremental_reducer.hpp"

namespace zembrik::py {

// The reducer and the store it follows: the identity of the store its first
// step consumed, 0 before that. Another store's nodes would be folded in as
// if they continued the first's, into a silently wrong result.
struct FollowingReducer {
  IncrementalReducer reducer;
  std::uint64_t store = 0;
};

struct PyIncrementalReducer {
  PyObject_HEAD Guarded<FollowingReducer> reducer;
};

extern PyType_Spec incremental_reducer_spec;

}  // namespace zembrik::py
