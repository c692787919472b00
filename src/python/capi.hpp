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

#ifdef Py_LIMITED_API

inline Py_ssize_t tuple_size(PyObject* tuple) {
  return PyTuple_Size(tuple);
}
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
  return PyTuple_GetItem(tuple, i);
}
inline Py_ssize_t list_size(PyObject* list) {
  return PyList_Size(list);
}
inline PyObject* list_item(PyObject* list, Py_ssize_t i) {
  return PyList_GetItem(list, i);
}
// Steals `item`, into a slot of a new list that is still empty.
inline void list_set(PyObject* list, Py_ssize_t i, PyObject* item) {
  PyList_SetItem(list, i, item);
}
inline Py_ssize_t dict_size(PyObject* dict) {
  return PyDict_Size(dict);
}
inline char* bytes_data(PyObject* bytes) {
  return PyBytes_AsString(bytes);
}
inline Py_ssize_t bytes_size(PyObject* bytes) {
  return PyBytes_Size(bytes);
}
inline double float_value(PyObject* exact_float) {
  return PyFloat_AsDouble(exact_float);
}

inline PyObject* type_alloc(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}
inline void type_free(PyTypeObject* type, PyObject* self) {
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
}
inline bool converts_to_float(PyTypeObject* type) {
  return PyType_GetSlot(type, Py_nb_float) != nullptr ||
         PyType_GetSlot(type, Py_nb_index) != nullptr;
}

#else

inline Py_ssize_t tuple_size(PyObject* tuple) {
  return PyTuple_GET_SIZE(tuple);
}
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
  return PyTuple_GET_ITEM(tuple, i);
}
inline Py_ssize_t list_size(PyObject* list) {
  return PyList_GET_SIZE(list);
}
inline PyObject* list_item(PyObject* list, Py_ssize_t i) {
  return PyList_GET_ITEM(list, i);
}
inline void list_set(PyObject* list, Py_ssize_t i, PyObject* item) {
  PyList_SET_ITEM(list, i, item);
}
inline Py_ssize_t dict_size(PyObject* dict) {
  return PyDict_GET_SIZE(dict);
}
inline char* bytes_data(PyObject* bytes) {
  return PyBytes_AS_STRING(bytes);
}
inline Py_ssize_t bytes_size(PyObject* bytes) {
  return PyBytes_GET_SIZE(bytes);
}
inline double float_value(PyObject* exact_float) {
  return PyFloat_AS_DOUBLE(exact_float);
}

inline PyObject* type_alloc(PyTypeObject* type) {
  return type->tp_alloc(type, 0);
}
inline void type_free(PyTypeObject* type, PyObject* self) {
  type->tp_free(self);
}
inline bool converts_to_float(PyTypeObject* type) {
  const PyNumberMethods* number = type->tp_as_number;
  return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

#endif

// The name of `obj`'s type as the interpreter's messages give it: "int",
// "numpy.ndarray". The limited build cannot read the type's own name field
// and leaves out the module of heap types (PyType_FromSpec) outside builtins.
std::string type_name(PyObject* obj);

}  // namespace zembrik::py
