// The reads and writes of tuples, lists, dicts, bytes, floats and type
// objects that the full C API does with macros and struct fields and the
// limited API (Py_LIMITED_API, for abi3 wheels) only through functions, under
// one name for both builds. The full build keeps the macros, which skip the
// checks the functions make.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace zembrik::py {

inline Py_ssize_t tuple_size(PyObject* tuple) {
#ifdef Py_LIMITED_API
  return PyTuple_Size(tuple);
#else
  return PyTuple_GET_SIZE(tuple);
#endif
}
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
#ifdef Py_LIMITED_API
  return PyTuple_GetItem(tuple, i);
#else
  return PyTuple_GET_ITEM(tuple, i);
#endif
}
inline Py_ssize_t list_size(PyObject* list) {
#ifdef Py_LIMITED_API
  return PyList_Size(list);
#else
  return PyList_GET_SIZE(list);
#endif
}
inline PyObject* list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_LIMITED_API
  return PyList_GetItem(list, i);
#else
  return PyList_GET_ITEM(list, i);
#endif
}
// Steals `item`, into a slot of a new list that is still empty.
inline void list_set(PyObject* list, Py_ssize_t i, PyObject* item) {
#ifdef Py_LIMITED_API
  PyList_SetItem(list, i, item);
#else
  PyList_SET_ITEM(list, i, item);
#endif
}
// Steals `item`, into a slot of a new tuple that is still empty.
inline void tuple_set(PyObject* tuple, Py_ssize_t i, PyObject* item) {
#ifdef Py_LIMITED_API
  PyTuple_SetItem(tuple, i, item);
#else
  PyTuple_SET_ITEM(tuple, i, item);
#endif
}

inline Py_ssize_t dict_size(PyObject* dict) {
#ifdef Py_LIMITED_API
  return PyDict_Size(dict);
#else
  return PyDict_GET_SIZE(dict);
#endif
}
inline char* bytes_data(PyObject* bytes) {
#ifdef Py_LIMITED_API
  return PyBytes_AsString(bytes);
#else
  return PyBytes_AS_STRING(bytes);
#endif
}
inline Py_ssize_t bytes_size(PyObject* bytes) {
#ifdef Py_LIMITED_API
  return PyBytes_Size(bytes);
#else
  return PyBytes_GET_SIZE(bytes);
#endif
}
inline double float_value(PyObject* exact_float) {
#ifdef Py_LIMITED_API
  return PyFloat_AsDouble(exact_float);
#else
  return PyFloat_AS_DOUBLE(exact_float);
#endif
}
inline PyObject* type_alloc(PyTypeObject* type) {
#ifdef Py_LIMITED_API
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
#else
  return type->tp_alloc(type, 0);
#endif
}
inline void type_free(PyTypeObject* type, PyObject* self) {
#ifdef Py_LIMITED_API
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
#else
  type->tp_free(self);
#endif
}
// Whether the type has __float__ or __index__, i.e. whether converting a
// value of it to a float can succeed.
inline bool converts_to_float(PyTypeObject* type) {
#ifdef Py_LIMITED_API
  return PyType_GetSlot(type, Py_nb_float) != nullptr ||
         PyType_GetSlot(type, Py_nb_index) != nullptr;
#else
  const PyNumberMethods* number = type->tp_as_number;
  return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
#endif
}

// The name of `obj`'s type as the interpreter's messages give it: "int",
// "numpy.ndarray". The limited build cannot read the type's own name field
// and leaves out the module of heap types (PyType_FromSpec) outside builtins.
std::string type_name(PyObject* obj);

}  // namespace zembrik::py
