// PyRef: an owned reference to a Python object, released on scope exit, so
// that every early return and C++ exception leaves the reference counts
// right.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zembrik::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (nullptr allowed: a failed API call).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller, e.g. as a function's result.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace zembrik::py
