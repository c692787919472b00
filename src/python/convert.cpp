#include "python/convert.hpp"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "python/args.hpp"
#include "python/capi.hpp"
#include "python/payload_descriptor.hpp"

namespace zembrik::py {
namespace {

// Whether the error just raised means only that the value is not of the
// type a test looks for, so that the next test may try: one of `kinds`.
// Anything else (MemoryError, KeyboardInterrupt, RecursionError, a user's
// own exception from __index__ or __float__) is the call's error.
bool clear_if_type_mismatch(std::initializer_list<PyObject*> kinds) {
  for (PyObject* kind : kinds) {
    if (PyErr_ExceptionMatches(kind)) {
      PyErr_Clear();
      return true;
    }
  }
  return false;
}

// Failures of the number conversions that mean "not this type": no
// __index__ or __float__ after all, or a value out of range.
bool not_a_number_of_this_type() {
  return clear_if_type_mismatch({PyExc_TypeError, PyExc_OverflowError});
}

bool id_from_py(PyObject* item, NodeId& out) {
  if (PyLong_CheckExact(item)) {
    out = PyLong_AsUnsignedLongLong(item);
  } else {
    PyRef index(PyNumber_Index(item));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
  }
  return !(out == static_cast<NodeId>(-1) && PyErr_Occurred());
}

enum class Test { Passed, Failed, Error };

// Whether the value is an Int: the interpreter's integer conversion within
// the signed 64-bit range. Floats have no __index__ and so fail it.
Test int_test(PyObject* value, std::int64_t& out) {
  PyRef index;
  if (!PyLong_Check(value)) {
    if (!PyIndex_Check(value)) return Test::Failed;
    index = PyRef(PyNumber_Index(value));
    if (!index) return not_a_number_of_this_type() ? Test::Failed : Test::Error;
    value = index.get();
  }
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return Test::Failed;
  if (out == -1 && PyErr_Occurred()) {
    return not_a_number_of_this_type() ? Test::Failed : Test::Error;
  }
  return Test::Passed;
}

// Whether the value is a Float: the interpreter's float conversion
// (__float__ or __index__).
Test float_test(PyObject* value, double& out) {
  if (PyFloat_Check(value)) {
    out = float_value(value);
    return Test::Passed;
  }
  // The conversion would only raise for a type without __float__ or
  // __index__; skipping it spares building an exception for every str value.
  if (!converts_to_float(Py_TYPE(value))) return Test::Failed;
  out = PyFloat_AsDouble(value);
  if (out == -1.0 && PyErr_Occurred()) {
    return not_a_number_of_this_type() ? Test::Failed : Test::Error;
  }
  return Test::Passed;
}

// Whether the value is a Str: a str that encodes to UTF-8. A lone surrogate
// fails to encode and so fails the test.
Test str_test(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) return Test::Failed;
  if (!view_of_str(value, out)) {
    return clear_if_type_mismatch({PyExc_UnicodeEncodeError}) ? Test::Failed : Test::Error;
  }
  return Test::Passed;
}

// The tests in their fixed order; the first that passes decides.
bool value_from_py(PyObject* value, ParamViewList& entries, std::string_view key) {
  ParamView entry{key, ParamValue::Tag::Bool, 0, 0.0, false, {}};
  const auto passed = [&](ParamValue::Tag tag) {
    entry.tag = tag;
    entries.push_back(entry);
    return true;
  };
  // An exact float or str fails every test before its own without calling
  // into the interpreter, so those are skipped for them.
  const bool exact_str = PyUnicode_CheckExact(value);
  if (!exact_str) {
    if (PyFloat_CheckExact(value)) {
      entry.float_value = float_value(value);
      return passed(ParamValue::Tag::Float);
    }
    if (PyBool_Check(value)) {
      entry.bool_value = value == Py_True;
      return passed(ParamValue::Tag::Bool);
    }
    switch (int_test(value, entry.int_value)) {
      case Test::Passed:
        return passed(ParamValue::Tag::Int);
      case Test::Error:
        return false;
      case Test::Failed:
        break;
    }
    switch (float_test(value, entry.float_value)) {
      case Test::Passed:
        return passed(ParamValue::Tag::Float);
      case Test::Error:
        return false;
      case Test::Failed:
        break;
    }
  }
  switch (str_test(value, entry.str_value)) {
    case Test::Passed:
      return passed(ParamValue::Tag::Str);
    case Test::Error:
      return false;
    case Test::Failed:
      break;
  }
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

// Exactly one of the four types: converting it calls into no Python code,
// so nothing can change the dict while it is read.
bool runs_no_python_code(PyObject* value) {
  return PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
         PyUnicode_CheckExact(value);
}

// The entry of a value of exactly one of the four types, decided by its
// type alone as value_from_py's tests would decide it. Failed, with nothing
// added, for the rare value those tests must see: an int beyond the Int
// range, a str that does not encode.
Test exact_entry(PyObject* value, std::string_view key, ParamViewList& entries) {
  // Written in place, and taken out again when the tests must decide.
  ParamView& entry = entries.emplace_back(ParamView{key, ParamValue::Tag::Bool, 0, 0.0, false, {}});
  Test test = Test::Passed;
  if (PyFloat_CheckExact(value)) {
    entry.tag = ParamValue::Tag::Float;
    entry.float_value = float_value(value);
  } else if (PyLong_CheckExact(value)) {
    int overflow = 0;
    entry.tag = ParamValue::Tag::Int;
    entry.int_value = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) test = Test::Failed;
  } else if (PyUnicode_CheckExact(value)) {
    entry.tag = ParamValue::Tag::Str;
    test = str_test(value, entry.str_value);
  } else {
    entry.bool_value = value == Py_True;
  }
  if (test != Test::Passed) entries.truncate(entries.size() - 1);
  return test;
}

bool entry_from_py(PyObject* key, PyObject* value, ParamViewList& entries) {
  std::string_view key_text;
  return str_view_from_py(key, key_text) &&
         (value_from_py(value, entries, key_text) || note_param_key(key_text));
}

// Converts the items of `dict` from position entries.size() on, from a copy
// of its items that holds every key and value alive (in `held`, for the
// views), since converting a value may run code that changes the dict.
bool rest_from_snapshot(PyObject* dict, ParamViews& out, bool& exact_str_keys) {
  out.held = PyRef(PyDict_Items(dict));
  if (!out.held) return false;
  PyObject* items = out.held.get();
  const Py_ssize_t size = list_size(items);
  for (auto i = static_cast<Py_ssize_t>(out.entries.size()); i < size; ++i) {
    PyObject* item = list_item(items, i);
    PyObject* key = tuple_item(item, 0);
    exact_str_keys = exact_str_keys && PyUnicode_CheckExact(key);
    if (!entry_from_py(key, tuple_item(item, 1), out.entries)) return false;
  }
  return true;
}

// In key order, as a ParamMap keeps them (stably: equal keys keep their
// order). Distinct str keys have distinct texts, but a str subclass can
// make the dict keep two keys of one text apart; a map holds each key once.
bool sort_and_check(ParamViewList& entries, bool exact_str_keys) {
  sort_by_key(entries, [](const ParamView& p) { return p.key; });
  if (exact_str_keys) return true;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    if (entries[i - 1].key == entries[i].key) {
      PyErr_Format(PyExc_ValueError, "repeated param key '%s'",
                   std::string(entries[i].key).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool not_a_str(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "expected str, got %s", type_name(obj).c_str());
  return false;
}

bool string_from_py(PyObject* obj, std::string& out) {
  std::string_view view;
  if (!str_view_from_py(obj, view)) return false;
  out.assign(view);
  return true;
}

bool name_argument(PyObject* obj, const char* argument, std::string& out) {
  return string_from_py(obj, out) || note_argument(argument);
}

template <class Ids>
bool ids_from_py(PyObject* obj, const char* argument, Ids& out) {
  out.clear();
  const bool is_list = PyList_CheckExact(obj);
  if (is_list || PyTuple_CheckExact(obj)) {
    // Indexing with the size read afresh each time is what iterating them
    // does, and stays safe when an element's __index__ changes the list.
    out.reserve(static_cast<std::size_t>(is_list ? list_size(obj) : tuple_size(obj)));
    for (Py_ssize_t i = 0; i < (is_list ? list_size(obj) : tuple_size(obj)); ++i) {
      PyObject* item = is_list ? list_item(obj, i) : tuple_item(obj, i);
      NodeId id;
      // An exact int runs no Python code, so the list keeps it alive; any
      // other item is held while its __index__ runs.
      if (PyLong_CheckExact(item)) {
        id = PyLong_AsUnsignedLongLong(item);
        if (id == static_cast<NodeId>(-1) && PyErr_Occurred()) return note_argument(argument);
      } else if (!id_from_py(PyRef::borrow(item).get(), id)) {
        return note_argument(argument);
      }
      out.push_back(id);
    }
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "expected a sequence of node ids, got str");
    return note_argument(argument);
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of node ids, got %s",
                 type_name(obj).c_str());
    return note_argument(argument);
  }
  PyRef iterator(PyObject_GetIter(obj));
  if (!iterator) return note_argument(argument);
  while (PyRef item{PyIter_Next(iterator.get())}) {
    NodeId id;
    if (!id_from_py(item.get(), id)) return note_argument(argument);
    out.push_back(id);
  }
  return PyErr_Occurred() ? note_argument(argument) : true;
}

template bool ids_from_py(PyObject*, const char*, NodeIds&);
template bool ids_from_py(PyObject*, const char*, CallIds&);

bool param_views_from_py(PyObject* obj, ParamViews& out) {
  out.entries.clear();
  out.held = PyRef();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  out.entries.reserve(static_cast<std::size_t>(dict_size(obj)));
  bool exact_str_keys = true;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    // Another value's __index__ or __float__ may change the dict under the
    // walk, so the rest is read from a snapshot. The entries so far ran no
    // Python code: they are the snapshot's first items.
    if (!runs_no_python_code(value)) {
      return rest_from_snapshot(obj, out, exact_str_keys) &&
             sort_and_check(out.entries, exact_str_keys);
    }
    std::string_view key_text;
    if (PyUnicode_CheckExact(key) ? !view_of_str(key, key_text)
                                  : !str_view_from_py(key, key_text)) {
      return false;
    }
    exact_str_keys = exact_str_keys && PyUnicode_CheckExact(key);
    switch (exact_entry(value, key_text, out.entries)) {
      case Test::Passed:
        break;
      case Test::Error:
        return note_param_key(key_text);
      case Test::Failed:
        if (!value_from_py(value, out.entries, key_text)) return note_param_key(key_text);
    }
  }
  return sort_and_check(out.entries, exact_str_keys);
}

bool params_from_py(PyObject* obj, ParamMap& out) {
  ParamViews views;
  if (!param_views_from_py(obj, views)) return false;
  std::vector<ParamEntry> entries;
  entries.reserve(views.entries.size());
  for (const ParamView& p : views.entries) entries.emplace_back(std::string(p.key), p.value());
  out = ParamMap::from_entries(std::move(entries));
  return true;
}

bool flag_argument(PyObject* obj, const char* argument, bool& out) {
  out = false;
  if (obj == nullptr) return true;
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected bool, got %s", type_name(obj).c_str());
    return note_argument(argument);
  }
  out = obj == Py_True;
  return true;
}

bool optional_ids(PyObject* obj, const char* argument, std::optional<NodeIds>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  return ids_from_py(obj, argument, out.emplace());
}

PyRef ids_to_py(const NodeIds& ids, GilHandover* handover) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (handover != nullptr && !handover->poll()) return PyRef();
    PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
    if (id == nullptr) return PyRef();
    list_set(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list;
}

PyRef report_to_py(const ReductionReport& report) {
  const std::pair<const char*, std::uint64_t> counts[] = {
      {"input_nodes", report.input_nodes},         {"reachable_nodes", report.reachable_nodes},
      {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
      {"reduced_nodes", report.reduced_nodes},     {"boundary_nodes", report.boundary_nodes}};
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  for (const auto& [name, count] : counts) {
    PyRef value(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItemString(dict.get(), name, value.get()) < 0) return PyRef();
  }
  return dict;
}

PyRef string_to_py(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

PyRef descriptor_to_py(const ModuleState& state, const RecordFields& fields) {
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  for (std::size_t i = 0; i < kDescriptorStrings.size(); ++i) {
    PyRef value = string_to_py(fields.descriptor[i]);
    if (!value || PyDict_SetItem(dict.get(), state.descriptor_keys[i], value.get()) != 0) {
      return PyRef();
    }
  }
  PyRef ref =
      fields.preprocessing_ref ? string_to_py(*fields.preprocessing_ref) : PyRef::borrow(Py_None);
  if (!ref || PyDict_SetItem(dict.get(), state.key(Key::preprocessing_ref), ref.get()) != 0) {
    return PyRef();
  }
  return dict;
}

PyRef param_value_to_py(const ParamView& param) {
  switch (param.tag) {
    case ParamValue::Tag::Int:
      return PyRef(PyLong_FromLongLong(param.int_value));
    case ParamValue::Tag::Float:
      return PyRef(PyFloat_FromDouble(param.float_value));
    case ParamValue::Tag::Bool:
      return PyRef::borrow(param.bool_value ? Py_True : Py_False);
    case ParamValue::Tag::Str:
      break;
  }
  return string_to_py(param.str_value);
}

PyRef params_to_py(const ParamMap& params) {
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, value] : params) {
    PyRef py_key = string_to_py(key);
    PyRef py_value = py_key ? param_value_to_py(ParamView::of(key, value)) : PyRef();
    if (!py_value || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return PyRef();
  }
  return dict;
}

bool descriptor_from_py(const ModuleState& state, PyObject* obj, PayloadDescriptor& out) {
  if (PyObject_TypeCheck(obj, state.payload_descriptor_type)) {
    out = reinterpret_cast<PyPayloadDescriptor*>(obj)->value;
    return true;
  }
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  // Plain dict lookups: a subclass's __getitem__ is not consulted.
  PyObject* ref = PyDict_GetItemWithError(obj, state.key(Key::preprocessing_ref));
  if (ref == nullptr && PyErr_Occurred()) return false;
  out.preprocessing_ref.reset();
  if (ref != nullptr && ref != Py_None) {
    PyRef held = PyRef::borrow(ref);
    if (!string_from_py(held.get(), out.preprocessing_ref.emplace())) return false;
  }
  for (std::size_t i = 0; i < kDescriptorStrings.size(); ++i) {
    PyObject* value = PyDict_GetItemWithError(obj, state.descriptor_keys[i]);
    if (value == nullptr) {
      if (PyErr_Occurred()) return false;
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'",
                   kDescriptorStrings[i].name);
      return false;
    }
    PyRef held = PyRef::borrow(value);
    if (!string_from_py(held.get(), out.*kDescriptorStrings[i].member)) return false;
  }
  return true;
}

PyObject* map_err(const BadNodeId& error) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(error.id));
  return nullptr;
}

}  // namespace zembrik::py
