// The entries of the method tables and type slots, built from one docstring
// each: its text signature names the callable and gives the binder its
// Signature, so a table reads as a list of implementation and docstring.
//
// Implementations receive their arguments already bound, one borrowed slot
// per parameter of the text signature (nullptr when omitted):
//   method      (self, defining class, slots)   for the classes
//   function    (self, slots)                   the module's functions and
//                                               GraphStore.deserialize
//   constructor (type, slots)                   tp_new
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "python/args.hpp"

namespace zembrik::py {

using BoundMethod = PyObject* (*)(PyObject* self, PyTypeObject* cls, PyObject* const* args);
using BoundFunction = PyObject* (*)(PyObject* self, PyObject* const* args);
using BoundConstructor = PyObject* (*)(PyTypeObject* type, PyObject* const* args);

inline constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS;
inline constexpr int kFunctionFlags = METH_FASTCALL | METH_KEYWORDS;

// The method tables store every calling convention as a PyCFunction; the
// cast goes through a plain function pointer type, which keeps it well
// defined to cast back.
template <class Function>
PyCFunction as_function(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The Signature of the callable documented by `Doc`, read on first use.
template <const char* Owner, const char* Doc>
const Signature& signature_of() {
  static_assert(text_signature_parameters(Doc) >= 0, "docstring starts with a text signature");
  static_assert(text_signature_parameters(Doc) <= static_cast<int>(kMaxParameters));
  static const Signature signature = Signature::from_doc(Owner, Doc);
  return signature;
}

// The callable's name, as the method table wants it: lives as long as the
// process, like the table.
template <const char* Doc>
const char* name_of() {
  static const std::string name = text_signature_name(Doc);
  return name.c_str();
}

// The classes are final (no Py_TPFLAGS_BASETYPE), so the type of `self` is
// the defining class: METH_METHOD would hand over the same object, and it
// keeps the interpreter from specializing the call.
template <BoundMethod Impl, const char* Owner, const char* Doc>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kMaxParameters];
  // A call that gives every parameter positionally, as recording calls do,
  // needs no binding: the arguments are the slots.
  constexpr bool kAllPositional = text_signature_all_positional(Doc);
  constexpr Py_ssize_t kCount = text_signature_parameters(Doc);
  if (kAllPositional && kwnames == nullptr && PyVectorcall_NARGS(nargs) == kCount) {
    return Impl(self, Py_TYPE(self), args);
  }
  if (!bind(signature_of<Owner, Doc>(), args, nargs, kwnames, bound)) return nullptr;
  return Impl(self, Py_TYPE(self), bound);
}

template <BoundFunction Impl, const char* Owner, const char* Doc>
PyObject* call_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* bound[kMaxParameters];
  if (!bind(signature_of<Owner, Doc>(), args, nargs, kwnames, bound)) return nullptr;
  return Impl(self, bound);
}

// The owner of the module's functions and of the classes themselves.
inline constexpr char kNoOwner[] = "";

template <BoundConstructor Impl, const char* Doc>
PyObject* call_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[kMaxParameters];
  if (!bind(signature_of<kNoOwner, Doc>(), args, kwargs, bound)) return nullptr;
  return Impl(type, bound);
}

// A method of class `Owner`.
template <BoundMethod Impl, const char* Owner, const char* Doc>
PyMethodDef method_entry() {
  return {name_of<Doc>(), as_function(call_method<Impl, Owner, Doc>), kMethodFlags, Doc};
}

// A function; `extra_flags` adds METH_STATIC for a static method.
template <BoundFunction Impl, const char* Owner, const char* Doc>
PyMethodDef function_entry(int extra_flags = 0) {
  return {name_of<Doc>(), as_function(call_function<Impl, Owner, Doc>),
          kFunctionFlags | extra_flags, Doc};
}

inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

// The tp_new slot of a class whose docstring is `Doc`.
template <BoundConstructor Impl, const char* Doc>
PyType_Slot new_slot() {
  return {Py_tp_new, reinterpret_cast<void*>(call_constructor<Impl, Doc>)};
}

}  // namespace zembrik::py
