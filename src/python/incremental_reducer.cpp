// IncrementalReducer(): feed it a store with step(store) while the store is
// being recorded, then finalize(store, ...) for the reduced store and report.
// Lock order: the reducer's mutex first, the store's second; outputs are
// checked against the store before the reducer is locked. The reducer's
// mutex is only ever taken without the interpreter lock, since a step or
// finalize holds it for long. The object holds
// no Python references, so it needs no GC support.
#include "python/incremental_reducer.hpp"

#include <new>
#include <type_traits>
#include <utility>
#include <variant>

#include "optimizer/reduced_graph.hpp"
#include "python/args.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/graph_store.hpp"
#include "python/method_table.hpp"
#include "python/release_memory.hpp"

namespace zembrik::py {
namespace {

Guarded<FollowingReducer>& reducer_of(PyObject* self) {
  return reinterpret_cast<PyIncrementalReducer*>(self)->reducer;
}

bool store_argument(const ModuleState& state, PyObject* obj, SharedGraph*& out) {
  if (!PyObject_TypeCheck(obj, state.graph_store_type)) {
    PyErr_Format(PyExc_TypeError, "expected GraphStore, got %s", type_name(obj).c_str());
    return note_argument("store");
  }
  out = &store_of(obj);
  return true;
}

// A step on a store other than the one the reducer follows.
struct OtherStore {};
using StepError = std::variant<BadNodeId, OtherStore>;

PyObject* raise_step_error(const StepError& error) {
  if (const auto* bad = std::get_if<BadNodeId>(&error)) return map_err(*bad);
  PyErr_SetString(PyExc_ValueError,
                  "store is not the GraphStore this reducer first stepped; a reducer follows "
                  "one store");
  return nullptr;
}

// Consumes the store's nodes from the watermark on; the reducer is locked.
// The first step that succeeds, or that keeps any node, binds the reducer to
// the store; one that throws has taken itself back and binds nothing.
Result<std::uint64_t, StepError> consume(FollowingReducer& r, const SharedGraph& store) {
  if (r.store != 0 && r.store != store.identity()) return StepError(OtherStore{});
  const std::uint64_t start = r.reducer.watermark();
  const Result<std::uint64_t, BadNodeId> consumed = r.reducer.step(store.snapshot_from(start));
  if (consumed || r.reducer.watermark() != start) r.store = store.identity();
  if (!consumed) return StepError(consumed.error());
  return consumed.value();
}

PyObject* step(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  const ModuleState& state = *state_of_type(cls);
  return guarded(state, [&]() -> PyObject* {
    SharedGraph* store = nullptr;
    if (!store_argument(state, a[0], store)) return nullptr;
    const Result<std::uint64_t, StepError> consumed = without_gil([&] {
      return reducer_of(self).with([&](FollowingReducer& r) { return consume(r, *store); });
    });
    if (!consumed) return raise_step_error(consumed.error());
    return PyLong_FromUnsignedLongLong(consumed.value());
  });
}

// watermark, total_work and canonical_count: one number read under the lock.
template <std::uint64_t (IncrementalReducer::*Count)() const>
PyObject* count(PyObject* self, PyTypeObject* cls, PyObject* const*) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    // A step or finalize may hold the reducer for long; waiting for it with
    // the interpreter lock would stop every other thread.
    const std::uint64_t value = without_gil([&] {
      return std::as_const(reducer_of(self)).with([](const FollowingReducer& r) {
        return (r.reducer.*Count)();
      });
    });
    return PyLong_FromUnsignedLongLong(value);
  });
}

PyObject* finalize(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  const ModuleState& state = *state_of_type(cls);
  return guarded(state, [&]() -> PyObject* {
    SharedGraph* store = nullptr;
    bool maximal_fusion = false;
    std::optional<NodeIds> given;
    if (!store_argument(state, a[0], store) ||
        !flag_argument(a[1], "maximal_fusion", maximal_fusion) ||
        !optional_ids(a[2], "outputs", given)) {
      return nullptr;
    }
    // The output set is chosen before the reducer is touched.
    NodeIds outputs;
    if (given) {
      const std::uint64_t count = store->node_count(WaitWithoutGil{});
      for (NodeId id : *given) {
        if (id >= count) return map_err(BadNodeId{id});
      }
      outputs = std::move(*given);
    } else {
      outputs = store->outputs(WaitWithoutGil{});
    }
    using Finished = Result<ReducedGraph, StepError>;
    Finished finished = without_gil([&] {
      const ReleaseFreeMemoryAtExit release(*store);
      return reducer_of(self).with([&](FollowingReducer& r) -> Finished {
        // A failure after the step takes the step back, so that the reducer
        // is as it was before the call.
        const IncrementalReducer::Checkpoint before = r.reducer.checkpoint();
        const std::uint64_t followed = r.store;
        try {
          const Result<std::uint64_t, StepError> consumed = consume(r, *store);
          if (!consumed) return consumed.error();
          Result<Reduced, BadNodeId> reduced = r.reducer.finalize(outputs, maximal_fusion);
          if (!reduced) return StepError(reduced.error());
          return from_reduced(std::move(reduced).value());
        } catch (...) {
          r.reducer.rollback(before);
          r.store = followed;
          throw;
        }
      });
    });
    if (!finished) return raise_step_error(finished.error());
    PyRef report = report_to_py(finished.value().report);
    PyRef wrapped(report ? wrap_store(state.graph_store_type, std::move(finished.value().graph))
                         : nullptr);
    if (!wrapped) return nullptr;
    return PyTuple_Pack(2, wrapped.get(), report.get());
  });
}

PyObject* reducer_new(PyTypeObject* type, PyObject* const*) {
  return guarded(*state_of_type(type), [&]() -> PyObject* {
    // Whatever can fail happens before the object exists, so a failure
    // leaves nothing half-built behind.
    IncrementalReducer reducer;
    static_assert(std::is_nothrow_move_constructible_v<IncrementalReducer>);
    PyObject* self = type_alloc(type);
    if (self == nullptr) return nullptr;
    new (&reducer_of(self)) Guarded<FollowingReducer>("incremental reducer poisoned",
                                                      FollowingReducer{std::move(reducer)});
    return self;
  });
}

void reducer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reducer_of(self).~Guarded<FollowingReducer>();
  type_free(type, self);
  Py_DECREF(type);
}

constexpr char kReducer[] = "IncrementalReducer";

constexpr char kReducerDoc[] =
    "IncrementalReducer()\n--\n\n"
    "Reduces a store while it is being recorded. Each step folds in only the\n"
    "nodes recorded since the previous one, keeping a canonical form up to date\n"
    "(identities folded, commutative duplicates merged), so that finalize reduces\n"
    "that form instead of the whole history.\n"
    "\n"
    "A reducer follows one store: the first store it steps. A step or finalize\n"
    "with any other store raises ValueError and changes nothing. Calls on one\n"
    "reducer from several threads take turns.";

constexpr char kStepDoc[] =
    "step($self, store)\n--\n\n"
    "Consume the nodes recorded in the GraphStore `store` since the last step and\n"
    "return how many that was. Raises TypeError when `store` is not a GraphStore\n"
    "and ValueError when it is not the store this reducer first stepped or when a\n"
    "node refers to an id that was not consumed.";
constexpr char kWatermarkDoc[] =
    "watermark($self)\n--\n\n"
    "Return how many of the store's nodes have been consumed; the next step\n"
    "starts there.";
constexpr char kTotalWorkDoc[] =
    "total_work($self)\n--\n\n"
    "Return how many nodes all steps have processed together. Each node is\n"
    "processed once, so this equals watermark().";
constexpr char kCanonicalCountDoc[] =
    "canonical_count($self)\n--\n\n"
    "Return the number of nodes in the maintained canonical form.";
constexpr char kFinalizeDoc[] =
    "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Consume the nodes still new, reduce the canonical form and return (store,\n"
    "report) as GraphStore.reduce does, with the same maximal_fusion. The outputs\n"
    "are the store's marks, or exactly `outputs` when given. The reducer stays\n"
    "usable.\n"
    "\n"
    "Raises ValueError for an id in `outputs` that the store does not hold,\n"
    "leaving the reducer untouched, and TypeError for an argument of the wrong\n"
    "type.";

PyMethodDef reducer_methods[] = {
    method_entry<step, kReducer, kStepDoc>(),
    method_entry<count<&IncrementalReducer::watermark>, kReducer, kWatermarkDoc>(),
    method_entry<count<&IncrementalReducer::total_work>, kReducer, kTotalWorkDoc>(),
    method_entry<count<&IncrementalReducer::canonical_count>, kReducer, kCanonicalCountDoc>(),
    method_entry<finalize, kReducer, kFinalizeDoc>(),
    kEndOfMethods,
};

PyType_Slot reducer_slots[] = {
    {Py_tp_doc, const_cast<char*>(kReducerDoc)},
    new_slot<reducer_new, kReducerDoc>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
    {Py_tp_methods, reducer_methods},
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
