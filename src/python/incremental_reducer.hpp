// IncrementalReducer: the Python class that owns one incremental reducer
// behind its own mutex.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/guarded.hpp"
#include "optimizer/incremental_reducer.hpp"

namespace zembrik::py {

struct PyIncrementalReducer {
  PyObject_HEAD Guarded<IncrementalReducer> reducer;
};

extern PyType_Spec incremental_reducer_spec;

}  // namespace zembrik::py
