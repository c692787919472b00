#include "python/capi.hpp"

#include "python/pyref.hpp"

namespace zembrik::py {
namespace {

#ifdef Py_LIMITED_API
// The UTF-8 text of a str, or nothing (with the error cleared) if it has none.
bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}
#endif

}  // namespace

std::string type_name(PyObject* obj) {
#ifdef Py_LIMITED_API
  PyTypeObject* type = Py_TYPE(obj);
  std::string name = "?";
  PyRef short_name(PyType_GetName(type));
  if (!short_name || !utf8_of(short_name.get(), name)) PyErr_Clear();
  // A static type's module is the prefix of its full name, as in tp_name.
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0) {
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    std::string prefix;
    if (module && utf8_of(module.get(), prefix) && prefix != "builtins") {
      name = prefix + "." + name;
    }
    PyErr_Clear();
  }
  return name;
#else
  return Py_TYPE(obj)->tp_name;
#endif
}

}  // namespace zembrik::py
