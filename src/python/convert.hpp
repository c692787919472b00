// Conversions between Python objects and core values, and the mapping of
// core errors to Python exceptions.
//
// Every converter returns false with a Python exception set on failure and
// leaves its output unspecified; nothing converted so far escapes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.hpp"
#include "base/small_vec.hpp"
#include "ir/node_key.hpp"
#include "ir/params.hpp"
#include "ir/record.hpp"
#include "optimizer/reduced.hpp"
#include "python/args.hpp"
#include "python/gil.hpp"
#include "python/module_state.hpp"
#include "python/pyref.hpp"
#include "store/graph.hpp"

namespace zembrik::py {

// A `str` (or subclass) as UTF-8; a lone surrogate raises the encoding error.
[[nodiscard]] bool string_from_py(PyObject* obj, std::string& out);
// Raises TypeError "expected str, got T"; returns false.
bool not_a_str(PyObject* obj);
// The same, viewed in the object's own UTF-8: valid while it lives (for
// view_of_str, `str` must be a str). Inline, as every recording call reads
// its name and keys so.
[[nodiscard]] inline bool view_of_str(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}
[[nodiscard]] inline bool str_view_from_py(PyObject* obj, std::string_view& out) {
  return PyUnicode_Check(obj) ? view_of_str(obj, out) : not_a_str(obj);
}
// A typed `str` argument: as above, with the argument's note on failure.
[[nodiscard]] bool name_argument(PyObject* obj, const char* argument, std::string& out);
[[nodiscard]] inline bool name_view_argument(PyObject* obj, const char* argument,
                                             std::string_view& out) {
  return str_view_from_py(obj, out) || note_argument(argument);
}

// The ids of one recording call, inline up to a count that covers almost
// every node, so that reading them allocates nothing.
using CallIds = SmallVec<NodeId, 8>;

// An id list argument (`inputs`, `outputs`): a sequence, not a str, dict,
// set or iterator, of ints in the unsigned 64-bit range. `Ids` is NodeIds or
// CallIds.
template <class Ids>
[[nodiscard]] bool ids_from_py(PyObject* obj, const char* argument, Ids& out);

// `maximal_fusion` and the like: exactly a bool (absent gives false); 0 and 1
// are refused.
[[nodiscard]] bool flag_argument(PyObject* obj, const char* argument, bool& out);
// `outputs`: absent or None leaves `out` empty, meaning "the store's marks".
[[nodiscard]] bool optional_ids(PyObject* obj, const char* argument, std::optional<NodeIds>& out);

// A dict (or None / absent) of str keys to bool, int, float or str values,
// as views in key order. The views point into the dict's str objects, which
// `held` keeps alive when converting a value ran Python code that could
// have changed the dict; they are valid until the caller runs Python code.
// Inline up to a count that covers almost every node, like CallIds.
using ParamViewList = SmallVec<ParamView, 8>;
struct ParamViews {
  ParamViewList entries;
  PyRef held;
};
[[nodiscard]] bool param_views_from_py(PyObject* obj, ParamViews& out);
// The same as a ParamMap, which owns its strings.
[[nodiscard]] bool params_from_py(PyObject* obj, ParamMap& out);
PyRef params_to_py(const ParamMap& params);
// One parameter's value as int, float, bool or str.
PyRef param_value_to_py(const ParamView& param);

// A PayloadDescriptor object or a plain dict holding its fields.
[[nodiscard]] bool descriptor_from_py(const ModuleState& state, PyObject* obj,
                                      PayloadDescriptor& out);

PyRef string_to_py(std::string_view text);

// The params dict of a record's entries, in their (key) order, as nodes()
// gives it; `key_str(text)` makes each key's str, so that a caller can share
// the keys it meets often.
template <class KeyStr>
PyRef param_views_to_py(std::span<const ParamView> params, KeyStr&& key_str) {
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  for (const ParamView& p : params) {
    PyRef key = key_str(p.key);
    PyRef value = param_value_to_py(p);
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyRef();
  }
  return dict;
}
// The descriptor dict of an External record, as nodes() gives it.
PyRef descriptor_to_py(const ModuleState& state, const RecordFields& fields);
// With `handover`, for lists that grow with the store: other threads get
// the interpreter lock now and then while it is built.
PyRef ids_to_py(const NodeIds& ids, GilHandover* handover = nullptr);
// The six counts of a reduction report, by name.
PyRef report_to_py(const ReductionReport& report);

// Raises ValueError "no node with id {}"; returns nullptr for `return`.
PyObject* map_err(const BadNodeId& error);

// Runs a method body, turning C++ exceptions into Python ones: internal
// failures into the module's BaseException-derived class.
template <class Body>
PyObject* guarded(const ModuleState& state, Body&& body) noexcept {
  try {
    return body();
  } catch (const Interrupted&) {
    // A signal handler raised; its exception is the call's.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(state.internal_error, e.what());
    return nullptr;
  }
}

}  // namespace zembrik::py
