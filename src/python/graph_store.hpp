// GraphStore: the Python class that owns one graph store.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "store/graph_store.hpp"

namespace zembrik::py {

struct PyGraphStore {
  PyObject_HEAD GraphStore store;
};

inline GraphStore& store_of(PyObject* self) {
  return reinterpret_cast<PyGraphStore*>(self)->store;
}

extern PyType_Spec graph_store_spec;

}  // namespace zembrik::py
