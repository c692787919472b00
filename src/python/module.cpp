// The zembrik_core module: GraphStore, PayloadDescriptor, IncrementalReducer
// and version(), registered in that order and listed in __all__, then
// InternalError, __version__ and the parameter type aliases. Multi-phase
// initialisation; all state lives in the module object.
#include "base/hash.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/graph_store.hpp"
#include "python/incremental_reducer.hpp"
#include "python/method_table.hpp"
#include "python/module_state.hpp"
#include "python/payload_descriptor.hpp"
#include "python/pyref.hpp"

// The package's version, which the build passes on from pyproject.toml.
#ifndef ZEMBRIK_VERSION
#error "ZEMBRIK_VERSION is set by the build"
#endif

namespace zembrik::py {
namespace {

PyObject* version(PyObject*, PyObject* const*) {
  return PyUnicode_FromString(ZEMBRIK_VERSION);
}

// Sets module.<name> and appends the name to __all__, creating it first.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::borrow(PyDict_GetItemString(PyModule_GetDict(module), "__all__"));
  if (!all) {
    all = PyRef(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, value);
}

int add_type(PyObject* module, PyType_Spec* type_spec, PyTypeObject*& slot) {
  PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
  if (type == nullptr) return -1;
  slot = reinterpret_cast<PyTypeObject*>(type);
  const char* name = type_spec->name + sizeof("zembrik_core.") - 1;
  return add_public(module, name, type);
}

// The names packaging tools and annotations look for, outside __all__:
// `__version__`, and the aliases `ParamValue` (bool | int | float | str, what
// a parameter holds) and `Params` (dict[str, ParamValue]).
int add_conventional_names(PyObject* module) {
  const PyRef version_text(PyUnicode_FromString(ZEMBRIK_VERSION));
  if (!version_text || PyModule_AddObjectRef(module, "__version__", version_text.get()) < 0) {
    return -1;
  }
  PyRef value_type = PyRef::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
  for (PyTypeObject* type : {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type}) {
    value_type = PyRef(PyNumber_Or(value_type.get(), reinterpret_cast<PyObject*>(type)));
    if (!value_type) return -1;
  }
  const PyRef key_and_value(
      PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), value_type.get()));
  const PyRef params_type(
      key_and_value
          ? PyObject_GetItem(reinterpret_cast<PyObject*>(&PyDict_Type), key_and_value.get())
          : nullptr);
  if (!params_type || PyModule_AddObjectRef(module, "ParamValue", value_type.get()) < 0) {
    return -1;
  }
  return PyModule_AddObjectRef(module, "Params", params_type.get());
}

constexpr char kVersionDoc[] = "version()\n--\n\nReturn the package's version as a str.";

constexpr char kModuleDoc[] =
    "The intermediate representation of data-processing pipelines: an interned,\n"
    "append-only graph (GraphStore) that a front end records node by node, with\n"
    "its reduction, canonical byte form and Graphviz rendering.";

PyMethodDef module_methods[] = {
    function_entry<version, kNoOwner, kVersionDoc>(),
    kEndOfMethods,
};

int module_exec(PyObject* module) {
  ModuleState* state = state_of(module);
  if (watch_interpreter_exit() < 0) return -1;
  // Drawn now, with the interpreter lock held, rather than on first use,
  // where a fork could catch another thread drawing it.
  (void)process_hash_key();
  for (int i = 0; i < static_cast<int>(Key::count_); ++i) {
    state->keys[i] = PyUnicode_InternFromString(kKeyTexts[i]);
    if (state->keys[i] == nullptr) return -1;
  }
  for (std::size_t i = 0; i < kDescriptorStrings.size(); ++i) {
    state->descriptor_keys[i] = PyUnicode_InternFromString(kDescriptorStrings[i].name);
    if (state->descriptor_keys[i] == nullptr) return -1;
  }
  for (std::size_t i = 0; i < kKindWords.size(); ++i) {
    state->kind_words[i] = PyUnicode_InternFromString(kKindWords[i]);
    if (state->kind_words[i] == nullptr) return -1;
  }
  state->node_prototype = PyDict_New();
  if (state->node_prototype == nullptr) return -1;
  for (Key key : {Key::id, Key::output, Key::inputs, Key::kind, Key::name, Key::params}) {
    if (PyDict_SetItem(state->node_prototype, state->key(key), Py_None) < 0) return -1;
  }
  // Outside Exception on purpose: a broken invariant or a poisoned object is
  // not something ordinary handlers should swallow.
  state->internal_error = PyErr_NewExceptionWithDoc(
      "zembrik_core.InternalError",
      "An internal failure: a broken invariant or a poisoned lock. The object it\n"
      "happened in stays unusable. Derives from BaseException, so that handlers\n"
      "of Exception do not swallow it.",
      PyExc_BaseException, nullptr);
  if (state->internal_error == nullptr ||
      PyModule_AddObjectRef(module, "InternalError", state->internal_error) < 0) {
    return -1;
  }
  if (add_type(module, &graph_store_spec, state->graph_store_type) < 0 ||
      finish_graph_store_type(module, state->graph_store_type) < 0) {
    return -1;
  }
  if (add_type(module, &payload_descriptor_spec, state->payload_descriptor_type) < 0) return -1;
  if (add_type(module, &incremental_reducer_spec, state->incremental_reducer_type) < 0) return -1;
  const PyRef version_function(PyObject_GetAttrString(module, "version"));
  if (!version_function || add_public(module, "version", version_function.get()) < 0) {
    return -1;
  }
  return add_conventional_names(module);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->graph_store_type);
  Py_VISIT(state->payload_descriptor_type);
  Py_VISIT(state->incremental_reducer_type);
  Py_VISIT(state->internal_error);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->graph_store_type);
  Py_CLEAR(state->payload_descriptor_type);
  Py_CLEAR(state->incremental_reducer_type);
  Py_CLEAR(state->internal_error);
  for (PyObject*& key : state->keys) Py_CLEAR(key);
  for (PyObject*& key : state->descriptor_keys) Py_CLEAR(key);
  for (PyObject*& word : state->kind_words) Py_CLEAR(word);
  Py_CLEAR(state->node_prototype);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Every Python object lives in the module state or in an object of its
    // own interpreter; what the core shares between interpreters (the symbol
    // table, the hash key) sits behind its own mutexes, so interpreters with
    // their own GIL may each import the module.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "zembrik_core",
    .m_doc = kModuleDoc,
    .m_size = sizeof(ModuleState),
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace
}  // namespace zembrik::py

PyMODINIT_FUNC PyInit_zembrik_core() {
  return PyModuleDef_Init(&zembrik::py::module_def);
}
