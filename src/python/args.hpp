// The one argument binder behind every callable of the module.
//
// A Signature lists a callable's parameters as its text signature does:
// positional-or-keyword ones first, then keyword-only ones. It is read from
// that text signature, the line that starts the docstring, so the two cannot
// drift apart. Binding fills one borrowed slot per parameter (nullptr when
// omitted) and reports mistakes in the interpreter's own wording, with the
// callable's full name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "python/text_signature.hpp"

namespace zembrik::py {

struct Parameter {
  std::string name;
  bool required = false;
  bool keyword_only = false;
};

struct Signature {
  std::string name;  // "GraphStore.add_op", "version"
  std::vector<Parameter> parameters;
  // Read off `parameters` once, for the binder's fast path.
  std::size_t positional = 0;           // parameters before `*`
  std::size_t required_positional = 0;  // of those, the ones without a default
  bool keyword_only_required = false;

  // The signature of the callable whose docstring is `doc`; `owner` is the
  // class a method belongs to, or empty for a class or a module function.
  static Signature from_doc(std::string_view owner, std::string_view doc);
};

// The name a docstring's text signature gives, "add_op" or "GraphStore".
std::string text_signature_name(std::string_view doc);

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
// Adds the note "while processing params key '{key}'" (the key's repr) to a
// conversion error raised by one parameter's value; returns false.
bool note_param_key(std::string_view key);

}  // namespace zembrik::py
