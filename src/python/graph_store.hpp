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

// Completes the class once it exists: binds the static method deserialize to
// it, since static methods are not told their class. Returns -1 on failure.
int finish_graph_store_type(PyObject* module, PyTypeObject* type);

}  // namespace zembrik::py
