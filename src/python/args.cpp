#include "python/args.hpp"

#include <new>
#include <string>

#include "base/failure.hpp"
#include "python/capi.hpp"
#include "python/pyref.hpp"

namespace zembrik::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as the interpreter lists them.
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t positional, Py_ssize_t required,
                         Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (required == positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 sig.name.c_str(), positional, positional == 1 ? "" : "s", given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 sig.name.c_str(), required, positional, given, verb);
  }
  return false;
}

bool missing(const Signature& sig, const std::vector<const char*>& names, const char* what) {
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", sig.name.c_str(),
               names.size(), what, names.size() == 1 ? "" : "s", quoted_list(names).c_str());
  return false;
}

bool bind_core(const Signature& sig, PyObject* const* positional, Py_ssize_t nargs,
               PyObject* const* kw_names, PyObject* const* kw_values, Py_ssize_t nkw,
               PyObject** out) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(sig.parameters.size());
  const Parameter* params = sig.parameters.data();
  const auto n_positional = static_cast<Py_ssize_t>(sig.positional);
  const auto n_required_positional = static_cast<Py_ssize_t>(sig.required_positional);
  if (nargs > n_positional) {
    return too_many_positional(sig, n_positional, n_required_positional, nargs);
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? positional[i] : nullptr;

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = kw_names[k];
    Py_ssize_t index = -1;
    if (PyUnicode_Check(name)) {
      for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, params[i].name.c_str()) == 0) {
          index = i;
          break;
        }
      }
    }
    if (index < 0) {
      if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name.c_str());
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     sig.name.c_str(), name);
      }
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name.c_str(),
                   params[index].name.c_str());
      return false;
    }
    out[index] = kw_values[k];
  }

  std::vector<const char*> absent_positional;
  std::vector<const char*> absent_keyword;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!params[i].required || out[i] != nullptr) continue;
    (params[i].keyword_only ? absent_keyword : absent_positional).push_back(params[i].name.c_str());
  }
  if (!absent_positional.empty()) return missing(sig, absent_positional, "positional");
  if (!absent_keyword.empty()) return missing(sig, absent_keyword, "keyword-only");
  return true;
}

}  // namespace

Signature Signature::from_doc(std::string_view owner, std::string_view doc) {
  Signature signature;
  std::string_view name;
  const int count = read_text_signature(
      doc, name, [&](std::string_view parameter, bool required, bool keyword_only) {
        signature.parameters.push_back({std::string(parameter), required, keyword_only});
      });
  if (count < 0 || static_cast<std::size_t>(count) > kMaxParameters) {
    fail("malformed text signature: " + std::string(doc.substr(0, doc.find('\n'))));
  }
  signature.name = owner.empty() ? std::string(name) : std::string(owner) + "." + std::string(name);
  for (const Parameter& p : signature.parameters) {
    if (p.keyword_only) {
      signature.keyword_only_required = signature.keyword_only_required || p.required;
      continue;
    }
    ++signature.positional;
    if (p.required) ++signature.required_positional;
  }
  return signature;
}

std::string text_signature_name(std::string_view doc) {
  return std::string(doc.substr(0, doc.find('(')));
}

// Binding runs before the methods' guard, so a failed allocation here must
// become MemoryError rather than leave through the interpreter's frames.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) try {
  nargs = PyVectorcall_NARGS(nargs);
  // The common call, `store.add_op("map", [a], params)`: positional
  // arguments only, each parameter given or defaulted.
  if (kwnames == nullptr && !sig.keyword_only_required &&
      static_cast<std::size_t>(nargs) >= sig.required_positional &&
      static_cast<std::size_t>(nargs) <= sig.positional) {
    const std::size_t count = sig.parameters.size();
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    }
    return true;
  }
  const Py_ssize_t nkw = kwnames != nullptr ? tuple_size(kwnames) : 0;
#ifdef Py_LIMITED_API
  // The limited API has no view of a tuple's items: they are copied.
  std::vector<PyObject*> names;
  for (Py_ssize_t k = 0; k < nkw; ++k) names.push_back(tuple_item(kwnames, k));
  return bind_core(sig, args, nargs, names.data(), args + nargs, nkw, out);
#else
  PyObject* const* names = nkw > 0 ? PySequence_Fast_ITEMS(kwnames) : nullptr;
  return bind_core(sig, args, nargs, names, args + nargs, nkw, out);
#endif
} catch (const std::bad_alloc&) {
  PyErr_NoMemory();
  return false;
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) try {
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      names.push_back(name);
      values.push_back(value);
    }
  }
  // The tuple and dict outlive the call, so borrowed slots stay valid.
#ifdef Py_LIMITED_API
  std::vector<PyObject*> positional;
  for (Py_ssize_t i = 0; i < tuple_size(args); ++i) positional.push_back(tuple_item(args, i));
  PyObject* const* items = positional.data();
#else
  PyObject* const* items = PySequence_Fast_ITEMS(args);
#endif
  return bind_core(sig, items, tuple_size(args), names.data(), values.data(),
                   static_cast<Py_ssize_t>(names.size()), out);
} catch (const std::bad_alloc&) {
  PyErr_NoMemory();
  return false;
}

namespace {

// Adds the note `make_note()` builds to the exception being raised when it
// is one of the conversion's own errors; returns false. The note is built
// with the error set aside, so that building it cannot replace the error,
// and only when it is added.
template <class MakeNote>
bool note_conversion_error(MakeNote make_note) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // Only the conversion's own errors say which argument was wrong; anything
  // else (MemoryError, KeyboardInterrupt, a user's exception) goes on as it
  // was raised.
  const bool conversion_error =
      value != nullptr && (PyErr_GivenExceptionMatches(value, PyExc_TypeError) ||
                           PyErr_GivenExceptionMatches(value, PyExc_ValueError) ||
                           PyErr_GivenExceptionMatches(value, PyExc_OverflowError));
  if (conversion_error) {
    // An interned method name: the interpreter's method cache keeps the
    // name object it last looked up, so a fresh string per call would pile
    // up there by the thousand.
    PyRef method(PyUnicode_InternFromString("add_note"));
    PyRef note(method ? make_note() : PyRef());
    PyRef added(note ? PyObject_CallMethodObjArgs(value, method.get(), note.get(), nullptr)
                     : nullptr);
    if (!added) PyErr_Clear();  // the original error matters more than its note
  }
  PyErr_Restore(type, value, traceback);
  return false;
}

}  // namespace

bool note_argument(const char* name) {
  return note_conversion_error(
      [name] { return PyRef(PyUnicode_FromFormat("while processing '%s'", name)); });
}

bool note_param_key(std::string_view key) {
  return note_conversion_error([key] {
    // The repr of an exact str made from the key's text runs no user code.
    PyRef text(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    return PyRef(text ? PyUnicode_FromFormat("while processing params key %R", text.get())
                      : nullptr);
  });
}

}  // namespace zembrik::py
