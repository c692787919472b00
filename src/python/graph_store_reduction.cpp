// The reduction methods of GraphStore: reduce, reduction_report,
// reduce_incremental, cone and node_map. Each builds a fresh engine, reduces
// a copy of the graph without its lock and without the interpreter lock, and
// returns new, independent stores.
#include "optimizer/direct_engine.hpp"
#include "optimizer/reduced_graph.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/graph_store.hpp"
#include "python/release_memory.hpp"

namespace zembrik::py {
namespace {

// The shared procedure of reduce, reduction_report and reduce_incremental.
// Returns nullptr with an exception set, else the store and its report.
PyObject* reduce_store(PyObject* self, PyTypeObject* cls, const std::optional<NodeIds>& outputs,
                       bool maximal_fusion, bool report_only) {
  const SharedGraph& store = store_of(self);
  std::optional<Graph> kept;
  // A graph that is not kept is freed inside too: that can take a while.
  const Result<ReductionReport, BadNodeId> report =
      without_gil([&]() -> Result<ReductionReport, BadNodeId> {
        const ReleaseFreeMemoryAtExit release(store);
        const DirectEngine engine;
        Result<ReducedGraph, BadNodeId> reduced = [&]() -> Result<ReducedGraph, BadNodeId> {
          if (!outputs) return reduce_with(store.snapshot(), engine, maximal_fusion);
          // The ids are checked against the copy, by the reduction itself.
          return reduce_with_outputs(store.arena(), *outputs, engine, maximal_fusion);
        }();
        if (!reduced) return reduced.error();
        if (!report_only) kept.emplace(std::move(reduced.value().graph));
        return reduced.value().report;
      });
  if (!report) return map_err(report.error());
  PyRef counts = report_to_py(report.value());
  if (!counts || report_only) return counts.release();
  PyRef wrapped(wrap_store(cls, std::move(*kept)));
  if (!wrapped) return nullptr;
  return PyTuple_Pack(2, wrapped.get(), counts.get());
}

}  // namespace

PyObject* store_reduce(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    bool maximal_fusion = false;
    std::optional<NodeIds> outputs;
    if (!flag_argument(a[0], "maximal_fusion", maximal_fusion) ||
        !optional_ids(a[1], "outputs", outputs)) {
      return nullptr;
    }
    return reduce_store(self, cls, outputs, maximal_fusion, false);
  });
}

// reduction_report and reduce_incremental: only `outputs`, single-use fusion.
template <bool kReportOnly>
PyObject* reduce_plain(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    std::optional<NodeIds> outputs;
    if (!optional_ids(a[0], "outputs", outputs)) return nullptr;
    return reduce_store(self, cls, outputs, false, kReportOnly);
  });
}

PyObject* store_reduction_report(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return reduce_plain<true>(self, cls, a);
}

PyObject* store_reduce_incremental(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return reduce_plain<false>(self, cls, a);
}

PyObject* store_cone(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    NodeIds outputs;
    if (!ids_from_py(a[0], "outputs", outputs)) return nullptr;
    Result<Graph, BadNodeId> cut =
        without_gil([&] { return cone(store_of(self).arena(), outputs); });
    if (!cut) return map_err(cut.error());
    return wrap_store(cls, std::move(cut).value());
  });
}

PyObject* store_node_map(PyObject* self, PyTypeObject* cls, PyObject* const*) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    const NodeMap map = store_of(self).node_map(WaitWithoutGil{});
    PyRef list(PyList_New(static_cast<Py_ssize_t>(map.size())));
    if (!list) return nullptr;
    GilHandover handover;
    for (std::size_t i = 0; i < map.size(); ++i) {
      if (!handover.poll()) return nullptr;
      PyObject* entry;
      if (!map[i]) {
        entry = Py_NewRef(Py_None);
      } else if (map[i]->member) {
        entry = Py_BuildValue("(KK)", static_cast<unsigned long long>(map[i]->node),
                              static_cast<unsigned long long>(*map[i]->member));
      } else {
        entry = Py_BuildValue("(KO)", static_cast<unsigned long long>(map[i]->node), Py_None);
      }
      if (entry == nullptr) return nullptr;
      list_set(list.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return list.release();
  });
}

}  // namespace zembrik::py
