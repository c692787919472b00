// Keeping a result that is being built out of the cyclic collector's sight.
//
// A large result makes millions of containers. The collector would scan the
// growing result over and over, in the collections its own allocations set
// off, though nothing can refer to it but the code building it. So each
// finished container is taken out of the collector's sight, and everything
// is put back in one go once the result is complete.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

namespace zembrik::py {

// Containers of a result no other code can see yet, out of the collector's
// sight until this is destroyed. Declared after the result, so that it is
// destroyed first, while what it holds is alive.
class HiddenFromCollector {
 public:
  HiddenFromCollector() = default;
  HiddenFromCollector(const HiddenFromCollector&) = delete;
  HiddenFromCollector& operator=(const HiddenFromCollector&) = delete;
  ~HiddenFromCollector() {
    for (PyObject* container : hidden_) {
      if (!PyObject_GC_IsTracked(container)) PyObject_GC_Track(container);
    }
  }

  // `container` must be complete: inserting a container into a dict makes
  // the collector track the dict again.
  void hide(PyObject* container) {
    if (!PyObject_GC_IsTracked(container)) return;
    hidden_.push_back(container);
    PyObject_GC_UnTrack(container);
  }

  // The same for `container` and the tuples it refers to directly: an
  // object made by another type (a functools.partial) may hold a tuple of
  // its own that would otherwise stay in sight, alone, in the young
  // generation, and be carried into the old one.
  void hide_with_tuples(PyObject* container) {
    hide(container);
    PyTypeObject* type = Py_TYPE(container);
    if (type != traversed_type_) {
      traversed_type_ = type;
      traverse_ = reinterpret_cast<traverseproc>(PyType_GetSlot(type, Py_tp_traverse));
    }
    if (traverse_ == nullptr) return;
    traverse_(
        container,
        [](PyObject* member, void* self) {
          if (member != nullptr && PyTuple_CheckExact(member)) {
            static_cast<HiddenFromCollector*>(self)->hide(member);
          }
          return 0;
        },
        this);
  }

  // Takes a tuple of ints or strs out of the collector's sight for good, as
  // the collector itself does with such tuples: nothing it holds can ever
  // be part of a cycle.
  static void hide_for_good(PyObject* atomic_tuple) {
    if (PyObject_GC_IsTracked(atomic_tuple)) PyObject_GC_UnTrack(atomic_tuple);
  }

  std::size_t size() const { return hidden_.size(); }
  // Drops what was hidden from `mark` on, for a part of the result that
  // failed and is being released: it is never looked at again.
  void forget_from(std::size_t mark) { hidden_.resize(mark); }

 private:
  std::vector<PyObject*> hidden_;
  PyTypeObject* traversed_type_ = nullptr;
  traverseproc traverse_ = nullptr;
};

}  // namespace zembrik::py
