// The module's state: its type objects, the internal-failure exception and
// the interned strings that hot paths use as dict keys. One per module
// object; nothing is global.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ir/node_key.hpp"

namespace zembrik::py {

// Interned key strings, created once at import.
enum class Key {
  id,
  output,
  inputs,
  kind,
  name,
  params,
  descriptor,
  n_members,
  members,
  preprocessing_ref,
  input,
  member,
  count_
};
inline constexpr const char* kKeyTexts[] = {
    "id",     "output",     "inputs",    "kind",    "name",
    "params", "descriptor", "n_members", "members", "preprocessing_ref",
    "input",  "member"};
static_assert(sizeof(kKeyTexts) / sizeof(kKeyTexts[0]) == static_cast<int>(Key::count_));

struct ModuleState {
  PyTypeObject* graph_store_type;
  PyTypeObject* payload_descriptor_type;
  PyTypeObject* incremental_reducer_type;
  PyObject* internal_error;
  PyObject* keys[static_cast<int>(Key::count_)];
  // The names of the descriptor's required strings, by kDescriptorStrings.
  PyObject* descriptor_keys[kDescriptorStrings.size()];
  // The kind words, by kKindWords, shared by every nodes() entry.
  PyObject* kind_words[kKindWords.size()];
  // A dict with the keys every nodes() entry starts with, in their order:
  // copying it gives an entry room for all its keys at once.
  PyObject* node_prototype;

  PyObject* key(Key k) const { return keys[static_cast<int>(k)]; }
};

// nullptr when no state is allocated yet; traverse and clear allow for it.
inline ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}
// The state of the module that defined `type` (one of our own types).
inline ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace zembrik::py
