// The one argument binder behind every callable of the module.
//
// A Signature lists a callable's parameters as its text signature does:
// positional-or-keyword ones first, then keyword-only ones. Binding fills one
// borrowed slot per parameter (nullptr when omitted) and reports mistakes in
// the interpreter's own wording, with the callable's full name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <vector>

namespace zembrik::py {

struct Parameter {
  const char* name;
  bool required = false;
  bool keyword_only = false;
};

struct Signature {
  const char* name;  // "GraphStore.add_op", "version"
  std::initializer_list<Parameter> parameters;
};

// Vectorcall convention: `args[0..nargs)` positional, then one value per name
// in `kwnames`. Returns false with a TypeError set.
[[nodiscard]] bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out);

// tp_new convention: a tuple and an optional dict.
[[nodiscard]] bool bind(const Signature& signature, PyObject* args, PyObject* kwargs,
                        PyObject** out);

// Adds the note "while processing '{name}'" to the exception being raised;
// returns false so that converters can end with `return note_argument(...)`.
bool note_argument(const char* name);

}  // namespace zembrik::py
