// IncrementalReducer(): reduces a pipeline while it is being recorded. This
// file holds the class frame; the reducer it wraps and its methods build on
// the optimizer. It holds no Python references, so it needs no GC support.
#include "python/incremental_reducer.hpp"

#include "python/args.hpp"
#include "python/convert.hpp"

namespace zembrik::py {
namespace {

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"IncrementalReducer", {}};
  if (!bind(signature, args, kwargs, nullptr)) return nullptr;
  return guarded(*state_of_type(type), [&]() -> PyObject* { return type->tp_alloc(type, 0); });
}

void reducer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot reducer_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "IncrementalReducer()\n--\n\nGenuinely incremental reduction (plan \xc2\xa7"
         "A.1): feed it a store as the graph is being built; each\n`step` canonicalizes ONLY the "
         "nodes recorded since the last step (identity elimination,\ncommutativity dedup, "
         "hash-consing \xe2\x80\x94 the same sound rules the SaturationEngine runs), so a "
         "concise\ncanonical form is maintained while building and `finalize` does one linear "
         "pass instead of a\nwhole-history optimization. `total_work()` counts nodes processed "
         "across all steps \xe2\x80\x94 it equals\nthe node count of the store, no matter how "
         "many steps fed it (the incrementality witness).")},
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec incremental_reducer_spec = {
    .name = "zembrik_core.IncrementalReducer",
    .basicsize = sizeof(PyIncrementalReducer),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = reducer_slots,
};

}  // namespace zembrik::py
