// GraphStore: the Python class that owns one shared graph.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/shared_graph.hpp"

namespace zembrik::py {

struct PyGraphStore {
  PyObject_HEAD SharedGraph graph;
};

inline SharedGraph& store_of(PyObject* self) {
  return reinterpret_cast<PyGraphStore*>(self)->graph;
}

extern PyType_Spec graph_store_spec;

// A new GraphStore object of `type` that takes over `graph`.
PyObject* wrap_store(PyTypeObject* type, Graph&& graph);

// nodes() (store_nodes.cpp), for the class's method table.
PyObject* store_nodes(PyObject* self, PyTypeObject* cls, PyObject* const* args);

// _lower() (store_lowering.cpp), what zembrik_dask.to_dask calls.
PyObject* store_lower(PyObject* self, PyTypeObject* cls, PyObject* const* args);

// The reduction methods (graph_store_reduction.cpp), for the class's method
// table, which documents them; they take their arguments bound.
PyObject* store_node_map(PyObject* self, PyTypeObject* cls, PyObject* const* args);
PyObject* store_cone(PyObject* self, PyTypeObject* cls, PyObject* const* args);
PyObject* store_reduce(PyObject* self, PyTypeObject* cls, PyObject* const* args);
PyObject* store_reduce_incremental(PyObject* self, PyTypeObject* cls, PyObject* const* args);
PyObject* store_reduction_report(PyObject* self, PyTypeObject* cls, PyObject* const* args);

// Completes the class once it exists: binds the static method deserialize to
// it, since static methods are not told their class. Returns -1 on failure.
int finish_graph_store_type(PyObject* module, PyTypeObject* type);

}  // namespace zembrik::py
