// IncrementalReducer: the Python class that will own one incremental reducer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembrik::py {

struct PyIncrementalReducer {
  PyObject_HEAD
};

extern PyType_Spec incremental_reducer_spec;

}  // namespace zembrik::py
