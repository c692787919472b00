// GraphStore(): record a pipeline with the add_* methods (each returns the
// node's id) and read it back with node_count(), outputs() and nodes();
// persist it with serialize() and GraphStore.deserialize(data), and render it
// with to_dot().
// Arguments are converted before the store is locked, and Python objects are
// built from copies after it is released. The object holds no Python
// references, so it needs no GC support.
#include "python/graph_store.hpp"
#include "base/failure.hpp"

#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "ir/display.hpp"
#include "ir/token.hpp"
#include "python/args.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/method_table.hpp"
#include "python/release_memory.hpp"
#include "serialize/blob.hpp"
#include "store/dot.hpp"

namespace zembrik::py {
namespace {

// Methods take the defining class, which leads to the module state, and
// their arguments bound (python/method_table.hpp).

// Takes the key by value: converting an alternative to a NodeKey would copy.
PyObject* record(PyObject* self, NodeKey key) {
  Result<NodeId, BadNodeId> id = store_of(self).intern(key, WaitWithoutGil{});
  if (!id) return map_err(id.error());
  return PyLong_FromUnsignedLongLong(id.value());
}

// Interns the record of plain fields read from the arguments. The record is
// written while the interpreter lock is held, since its views point into the
// arguments' str objects; only the intern may wait without it.
PyObject* record_fields(PyObject* self, const PlainFields& fields) {
  // Room for the record of almost every node, so that recording one
  // allocates nothing outside the store.
  char room[512];
  std::string overflow;
  const record::EncodedFields encoded = record::encode_fields(fields, room, overflow);
  Result<NodeId, BadNodeId> id = store_of(self).intern_record(
      EncodedKey{encoded.bytes, encoded.has_nan, fields.inputs, encoded.wide}, WaitWithoutGil{});
  if (!id) return map_err(id.error());
  // Ids stay far below 2**63 (InternIndex::kMaxId); the signed conversion
  // has the interpreter's fast path for one-digit ints.
  return PyLong_FromLongLong(static_cast<long long>(id.value()));
}

PyObject* add_source(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    std::string_view name;
    ParamViews params;
    if (!name_view_argument(a[0], "name", name) || !param_views_from_py(a[1], params)) {
      return nullptr;
    }
    return record_fields(self, PlainFields{NodeTag::Source, name, params.entries, {}});
  });
}

// add_op and add_reduction: a name, inputs and parameters.
template <NodeTag Tag>
PyObject* add_named(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    std::string_view name;
    CallIds inputs;
    ParamViews params;
    if (!name_view_argument(a[0], "name", name) || !ids_from_py(a[1], "inputs", inputs) ||
        !param_views_from_py(a[2], params)) {
      return nullptr;
    }
    return record_fields(self, PlainFields{Tag, name, params.entries, inputs});
  });
}

PyObject* add_external(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  const ModuleState& state = *state_of_type(cls);
  return guarded(state, [&]() -> PyObject* {
    External key;
    if (!ids_from_py(a[1], "inputs", key.inputs) ||
        !descriptor_from_py(state, a[0], key.descriptor) || !params_from_py(a[2], key.params)) {
      return nullptr;
    }
    return record(self, std::move(key));
  });
}

// add_exchange and add_join: inputs and a scheme, no name.
template <NodeTag Tag>
PyObject* add_boundary(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    CallIds inputs;
    ParamViews params;
    if (!ids_from_py(a[0], "inputs", inputs) || !param_views_from_py(a[1], params)) {
      return nullptr;
    }
    return record_fields(self, PlainFields{Tag, {}, params.entries, inputs});
  });
}

PyObject* node_count(PyObject* self, PyTypeObject* cls, PyObject* const*) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    return PyLong_FromUnsignedLongLong(store_of(self).node_count(WaitWithoutGil{}));
  });
}

PyObject* render_dot(PyObject* self, PyTypeObject* cls, PyObject* const*) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    // Rendering a copy keeps the lock for the copy only, so that recording
    // threads wait for a memcpy, never for the text.
    const std::string text = without_gil([&] {
      const StoreSnapshot snapshot = store_of(self).snapshot();
      return render_dot(snapshot.arena, snapshot.outputs);
    });
    return string_to_py(text).release();
  });
}

PyObject* serialize(PyObject* self, PyTypeObject* cls, PyObject* const* a) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    SharedGraph& store = store_of(self);
    const bool explicit_outputs = a[0] != nullptr && a[0] != Py_None;
    NodeIds requested;
    if (explicit_outputs && !ids_from_py(a[0], "outputs", requested)) return nullptr;
    std::optional<BadNodeId> bad;
    std::optional<StoreSnapshot> snapshot;
    // The copy is made without the interpreter lock; its blob size is known
    // at once, and the bytes object, which needs the lock, is made that large.
    without_gil([&] {
      if (!explicit_outputs) {
        snapshot.emplace(store.snapshot());
      } else if (Result<NodeArena, BadNodeId> arena = store.arena_holding(requested)) {
        snapshot.emplace(StoreSnapshot{std::move(arena).value(), std::move(requested)});
      } else {
        bad = arena.error();
      }
    });
    if (bad) return map_err(*bad);
    const std::size_t size = blob_size(snapshot->arena, snapshot->outputs);
    // Written straight into the bytes object, which no other thread can see
    // yet: a blob can be large.
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    const std::span<char> out(bytes_data(bytes.get()), size);
    const Result<void, BlobTooLarge> written = without_gil([&] {
      Result<void, BlobTooLarge> result = write_blob(snapshot->arena, snapshot->outputs, out);
      snapshot.reset();
      return result;
    });
    if (!written) {
      PyErr_SetString(PyExc_ValueError, written.error().message().c_str());
      return nullptr;
    }
    return bytes.release();
  });
}

// A static method: `cls` is the class, however it was called, because
// finish_graph_store_type binds it.
PyObject* deserialize_blob(PyObject* cls, PyObject* const* a) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  return guarded(*state_of_type(type), [&]() -> PyObject* {
    if (!PyBytes_Check(a[0])) {
      PyErr_Format(PyExc_TypeError, "expected bytes, got %s", type_name(a[0]).c_str());
      note_argument("data");
      return nullptr;
    }
    // Bytes never change, and the caller's reference keeps them alive.
    const std::string_view blob(bytes_data(a[0]), static_cast<std::size_t>(bytes_size(a[0])));
    Result<Graph, BlobError> store = without_gil([&] { return deserialize(blob); });
    if (!store) {
      PyErr_SetString(PyExc_ValueError, store.error().message().c_str());
      return nullptr;
    }
    return wrap_store(type, std::move(store).value());
  });
}

PyObject* outputs(PyObject* self, PyTypeObject* cls, PyObject* const*) {
  return guarded(*state_of_type(cls), [&]() -> PyObject* {
    const NodeIds marks = store_of(self).outputs(WaitWithoutGil{});
    GilHandover handover;
    return ids_to_py(marks, &handover).release();
  });
}

PyObject* store_new(PyTypeObject* type, PyObject* const*) {
  return guarded(*state_of_type(type), [&]() -> PyObject* {
    // Whatever can fail happens before the object exists, so a failure
    // leaves nothing half-built behind.
    Graph graph;
    return wrap_store(type, std::move(graph));
  });
}

void store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (has_bulky_records(store_of(self))) {
    // Nothing else can reach the object now, so it is freed, and its memory
    // handed back, without the interpreter lock.
    without_gil([&] {
      store_of(self).~SharedGraph();
      release_free_memory();
    });
  } else {
    store_of(self).~SharedGraph();
  }
  type_free(type, self);
  Py_DECREF(type);
}

constexpr char kStore[] = "GraphStore";

constexpr char kStoreDoc[] =
    "GraphStore()\n--\n\n"
    "An append-only graph of pipeline nodes, interned and hash-consed: recording\n"
    "a node equal to one already held returns the existing id.\n"
    "\n"
    "A store can be shared between threads. Each call locks it briefly, reads\n"
    "hand out independent copies, and long native work runs without the GIL.";

constexpr char kAddSourceDoc[] =
    "add_source($self, name, params=None)\n--\n\n"
    "Record a Source node with the str `name` and `params` (a dict of str keys to\n"
    "bool, int, float or str values, or None for none) and return its id. Raises\n"
    "TypeError for an argument of the wrong type.";
constexpr char kAddOpDoc[] =
    "add_op($self, name, inputs, params=None)\n--\n\n"
    "Record an Op node: its `name`, the ids of its `inputs` in order (a sequence\n"
    "of ints) and its `params`, and return its id. Raises ValueError \"no node\n"
    "with id N\" for an id the store does not hold, and TypeError for an argument\n"
    "of the wrong type; nothing is recorded then.";
constexpr char kAddReductionDoc[] =
    "add_reduction($self, name, inputs, params=None)\n--\n\n"
    "Record a Reduction node (an aggregation such as a sum) with `name`, `inputs`\n"
    "and `params`, and return its id. Raises ValueError \"no node with id N\" for\n"
    "an id the store does not hold, and TypeError for an argument of the wrong\n"
    "type; nothing is recorded then.";
constexpr char kAddExternalDoc[] =
    "add_external($self, descriptor, inputs, params=None)\n--\n\n"
    "Record an External node, an opaque payload such as a model, described by\n"
    "`descriptor` (a PayloadDescriptor or a dict with its fields), with `inputs`\n"
    "and `params`, and return its id. The descriptor is part of the node's\n"
    "identity.\n"
    "\n"
    "Raises ValueError for an unknown input id or a dict that lacks a required\n"
    "field, and TypeError for an argument of the wrong type.";
constexpr char kAddExchangeDoc[] =
    "add_exchange($self, inputs, params=None)\n--\n\n"
    "Record an Exchange node, a data-movement boundary such as a shuffle, and\n"
    "return its id. It has no name: its identity is its `params` (the scheme) and\n"
    "its `inputs`, normally one. Raises ValueError \"no node with id N\" for an id\n"
    "the store does not hold, and TypeError for an argument of the wrong type;\n"
    "nothing is recorded then.";
constexpr char kAddJoinDoc[] =
    "add_join($self, inputs, params=None)\n--\n\n"
    "Record a Join node and return its id. It has no name: its identity is its\n"
    "`params` (the scheme) and its ordered `inputs`, normally [left, right].\n"
    "Raises ValueError \"no node with id N\" for an id the store does not hold, and\n"
    "TypeError for an argument of the wrong type; nothing is recorded then.";
constexpr char kNodeCountDoc[] =
    "node_count($self)\n--\n\n"
    "Return the number of nodes in the store.";
constexpr char kToDotDoc[] =
    "to_dot($self)\n--\n\n"
    "Return the store as a Graphviz DOT graph (a str), one vertex per node.";
constexpr char kSerializeDoc[] =
    "serialize($self, outputs=None)\n--\n\n"
    "Return the store as canonical bytes, the same in every process for the same\n"
    "recording. The blob's outputs are the store's marks, or exactly the ids in\n"
    "`outputs` when it is given (the marks are then ignored, not changed).\n"
    "\n"
    "Raises ValueError for an id the store does not hold or a graph too large for\n"
    "the format, and TypeError when `outputs` is not a sequence of ints.";
constexpr char kDeserializeDoc[] =
    "deserialize(data)\n--\n\n"
    "Rebuild a store from bytes made by serialize and return it; called on the\n"
    "class. Every node keeps its id, so serializing the result gives the same\n"
    "bytes.\n"
    "\n"
    "Raises TypeError when `data` is not bytes and ValueError, with the reason,\n"
    "for a blob that is malformed or truncated.";
constexpr char kNodesDoc[] =
    "nodes($self)\n--\n\n"
    "Return a list with one new dict per node, in id order, with the keys id,\n"
    "output (whether it is marked), inputs, kind, name and params. kind is one of\n"
    "source, op, reduction, external, exchange, join and stage; name is empty for\n"
    "all but source, op and reduction.\n"
    "\n"
    "An external node adds descriptor, a dict of its descriptor's fields. A stage\n"
    "node adds n_members and members: per fused member its kind (op or red),\n"
    "name, params and inputs, each input a pair (\"input\", k) for the stage's k-th\n"
    "input or (\"member\", m) for its m-th member.";
constexpr char kLowerDoc[] =
    "_lower($self, outputs, prefix, stages, calls)\n--\n\n"
    "zembrik_dask's lowering of the nodes that `outputs` reach, as (graph, keys):\n"
    "the same task graph as its general path builds from nodes(), or None when\n"
    "only that path can say what is wrong. `stages` is (mode, reads, parts) and\n"
    "`calls` (partial, run_node, run_stage, plain, named). Not for other\n"
    "callers.";
constexpr char kOutputsDoc[] =
    "outputs($self)\n--\n\n"
    "Return the marked output ids in mark order. Marks come from a blob or a\n"
    "reduction; a store recorded with the add_* methods has none.";
constexpr char kNodeMapDoc[] =
    "node_map($self)\n--\n\n"
    "For a store made by a reduction or a cone, return where each node of the\n"
    "store it came from landed, indexed by that store's ids: (id, None) for a\n"
    "node of its own here, (stage id, member index) for one fused into a stage,\n"
    "or None for one that was dropped. Returns [] for any other store.";
constexpr char kConeDoc[] =
    "cone($self, *, outputs)\n--\n\n"
    "Return a new store holding only the nodes that `outputs` reach, unchanged\n"
    "and marked with `outputs`; its node_map sends each kept id to (new id,\n"
    "None). Raises ValueError for an id the store does not hold.";
constexpr char kReduceDoc[] =
    "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Reduce the graph into a new store and return (store, report). The reduction\n"
    "drops what the outputs do not need, folds scalar add-zero and multiply-by-\n"
    "one operations, merges commutative operators recorded in both operand orders\n"
    "and other equal subexpressions, and fuses runs of op nodes into stage nodes.\n"
    "\n"
    "The outputs are the store's marks, or exactly `outputs` when given. With\n"
    "maximal_fusion=True an op with several consumers is fused too when they all\n"
    "land in one stage. The report maps input_nodes, reachable_nodes,\n"
    "canonical_nodes, stages, reduced_nodes and boundary_nodes to counts.\n"
    "\n"
    "Raises ValueError for an id the store does not hold.";
constexpr char kReduceIncrementalDoc[] =
    "reduce_incremental($self, *, outputs=None)\n--\n\n"
    "Return (store, report), the same as reduce(outputs=outputs) in one call. To\n"
    "reduce step by step while recording, use IncrementalReducer.";
constexpr char kReductionReportDoc[] =
    "reduction_report($self, *, outputs=None)\n--\n\n"
    "Return the report of reduce(outputs=outputs) alone, without keeping the\n"
    "reduced store.";

// The function inside the static method: without METH_STATIC, so that the
// interpreter passes it the class it is bound to.
PyMethodDef deserialize_def = function_entry<deserialize_blob, kStore, kDeserializeDoc>();

PyMethodDef store_methods[] = {
    method_entry<add_source, kStore, kAddSourceDoc>(),
    method_entry<add_named<NodeTag::Op>, kStore, kAddOpDoc>(),
    method_entry<add_named<NodeTag::Reduction>, kStore, kAddReductionDoc>(),
    method_entry<add_external, kStore, kAddExternalDoc>(),
    method_entry<add_boundary<NodeTag::Exchange>, kStore, kAddExchangeDoc>(),
    method_entry<add_boundary<NodeTag::Join>, kStore, kAddJoinDoc>(),
    method_entry<node_count, kStore, kNodeCountDoc>(),
    method_entry<render_dot, kStore, kToDotDoc>(),
    method_entry<serialize, kStore, kSerializeDoc>(),
    function_entry<deserialize_blob, kStore, kDeserializeDoc>(METH_STATIC),
    method_entry<store_nodes, kStore, kNodesDoc>(),
    method_entry<store_lower, kStore, kLowerDoc>(),
    method_entry<outputs, kStore, kOutputsDoc>(),
    method_entry<store_node_map, kStore, kNodeMapDoc>(),
    method_entry<store_cone, kStore, kConeDoc>(),
    method_entry<store_reduce, kStore, kReduceDoc>(),
    method_entry<store_reduce_incremental, kStore, kReduceIncrementalDoc>(),
    method_entry<store_reduction_report, kStore, kReductionReportDoc>(),
    kEndOfMethods,
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>(kStoreDoc)},
    new_slot<store_new, kStoreDoc>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_methods, store_methods},
    {0, nullptr},
};

}  // namespace

PyObject* wrap_store(PyTypeObject* type, Graph&& graph) {
  // Once the object exists nothing may throw: its graph moves in.
  static_assert(std::is_nothrow_constructible_v<SharedGraph, Graph&&>);
  PyObject* self = type_alloc(type);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PyGraphStore*>(self)->graph) SharedGraph(std::move(graph));
  return self;
}

int finish_graph_store_type(PyObject* module, PyTypeObject* type) {
  PyRef function(PyCFunction_NewEx(&deserialize_def, reinterpret_cast<PyObject*>(type), module));
#ifdef Py_LIMITED_API
  // Neither staticmethod's constructor nor the class dict is in the limited
  // API: the builtin makes the method, and the generic attribute setter
  // writes the dict of the class, which it finds as any object's dict,
  // where setting the attribute on the immutable class would be refused.
  PyRef builtins(PyImport_ImportModule("builtins"));
  PyRef make(builtins ? PyObject_GetAttrString(builtins.get(), "staticmethod") : nullptr);
  PyRef method(make && function ? PyObject_CallFunctionObjArgs(make.get(), function.get(), nullptr)
                                : nullptr);
  PyRef name(PyUnicode_InternFromString("deserialize"));
  if (!method || !name ||
      PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(type), name.get(), method.get()) < 0) {
    return -1;
  }
#else
  PyRef method(function ? PyStaticMethod_New(function.get()) : nullptr);
  // Replacing the entry keeps its place in the class dict, and so the order.
  if (!method || PyDict_SetItemString(type->tp_dict, "deserialize", method.get()) < 0) return -1;
#endif
  PyType_Modified(type);
  return 0;
}

PyType_Spec graph_store_spec = {
    .name = "zembrik_core.GraphStore",
    .basicsize = sizeof(PyGraphStore),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = store_slots,
};

}  // namespace zembrik::py
