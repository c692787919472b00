// GraphStore._lower(): the task graph zembrik_dask.to_dask makes of a store,
// built here from the records instead of from nodes() dicts, with the stages
// it may split listed apart (it splits them itself).
//
// It makes exactly the graph the lowering's Python path makes: the same
// keys (the same marshal bytes digested by the same BLAKE2b), the same task
// tuples and partials, the same lookups of `ops` in the same order, through
// the caller's resolver, so every LoweringError is the resolver's own. For
// what only the Python path explains (an id out of range, a malformed
// stage) it returns None, and the caller takes that path, which then raises
// exactly as it always did.
#include <array>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/blake2b.hpp"
#include "base/flat_map.hpp"
#include "base/hash.hpp"
#include "ir/record.hpp"
#include "ir/token.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/graph_store.hpp"
#include "python/hidden_from_collector.hpp"
#include "python/marshal_v2.hpp"

namespace zembrik::py {
namespace {

// What the lowering hands over: functools.partial, its two task functions
// and its resolver's two lookups, borrowed from the call's arguments.
struct LoweringCalls {
  PyObject* partial;
  PyObject* run_node;
  PyObject* run_stage;
  PyObject* plain;
  PyObject* named;
};

// The personalization names the encoding digested; it must match the
// lowering's own hasher.
constexpr std::string_view kKeyPerson = "zembrik-task-v1";
constexpr std::size_t kDigestBytes = 16;
using HexDigest = std::array<char, 2 * kDigestBytes>;

enum class Outcome { built, failed, general };

// A name's callable in one table of `ops`, found once per call.
class NamedCache {
 public:
  PyObject* find(std::string_view name) const {
    const std::size_t* at = index_.find(name);
    return at ? found_[*at].second.get() : nullptr;
  }
  void keep(std::string_view name, PyRef fn) {
    found_.emplace_back(std::string(name), std::move(fn));
    index_.try_emplace(found_.back().first, found_.size() - 1);
  }

 private:
  // Keyed: the names come from the store's users.
  FlatMap<std::string_view, std::size_t, KeyedTextHash> index_;
  std::deque<std::pair<std::string, PyRef>> found_;
};

// A stage member token, parsed once per call.
struct MemberOp {
  std::string token;
  bool parsed = false;
  bool reduction = false;  // looked up in reductions, else in ops
  PyRef kind;
  PyRef name;
  std::string name_text;
  PyRef params;  // copied for each member, whose dict is its own
  // The marshal bytes of the member's dict up to its inputs' value.
  std::string marshal_head;
  PyRef fn;  // found when first needed
};

class TaskGraphBuilder {
 public:
  TaskGraphBuilder(const ModuleState& state, const LoweringCalls& calls, std::string prefix,
                   std::size_t least_to_split, const NodeArena& arena)
      : state_(state),
        calls_(calls),
        prefix_(std::move(prefix)),
        least_to_split_(least_to_split),
        arena_(arena),
        digests_(arena.size()),
        keys_(arena.size()) {}

  // False when setting up failed (exception set).
  bool start() {
    graph_ = PyRef(PyDict_New());
    wide_ = PyRef(PyList_New(0));
    if (!wide_) return false;
    static constexpr const char* kEntries[] = {"source",   "ops",      "reductions",
                                               "external", "exchange", "join"};
    for (std::size_t i = 0; i < std::size(kEntries); ++i) {
      entry_words_[i] = PyRef(PyUnicode_InternFromString(kEntries[i]));
      if (!entry_words_[i]) return false;
    }
    return static_cast<bool>(graph_);
  }

  // Whether every stage member token of the store parses, as nodes(),
  // which the Python path reads, requires of every node, reachable or not.
  // Keeps each member's parsed token for the build.
  std::optional<bool> tokens_parse() {
    first_member_.assign(arena_.size(), 0);
    for (NodeId id = 0; id < arena_.size(); ++id) {
      const std::string_view record = arena_.record(id);
      if (tag_of_record(record) != NodeTag::Stage) continue;
      fields_.read(record);
      first_member_[id] = member_ops_.size();
      for (const MemberFields& member : fields_.members) {
        MemberOp* op = member_op(member.token);
        if (op == nullptr) return std::nullopt;
        if (!op->parsed) return false;
        member_ops_.push_back(op);
      }
    }
    return true;
  }

  Outcome node(NodeId id) {
    const std::size_t mark = hidden_.size();
    const Outcome outcome = build_node(id);
    if (outcome != Outcome::built) hidden_.forget_from(mark);
    return outcome;
  }

  // The graph and the outputs' keys, once every node is built.
  PyRef result(const std::vector<NodeId>& outputs) {
    PyRef keys(PyList_New(static_cast<Py_ssize_t>(outputs.size())));
    if (!keys) return keys;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      list_set(keys.get(), static_cast<Py_ssize_t>(i), Py_NewRef(keys_[outputs[i]].get()));
    }
    hidden_.hide(keys.get());
    hidden_.hide(graph_.get());
    return PyRef(PyTuple_Pack(3, graph_.get(), keys.get(), wide_.get()));
  }

 private:
  PyRef hidden(PyRef container) {
    if (container) hidden_.hide(container.get());
    return container;
  }

  PyRef partial(std::initializer_list<PyObject*> args) {
    // Vectorcall's slot before the arguments is free for the callee to use.
    PyObject* slots[4] = {nullptr};
    std::size_t n = 0;
    for (PyObject* arg : args) slots[1 + n++] = arg;
    PyRef made(PyObject_Vectorcall(calls_.partial, slots + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
    if (made) hidden_.hide_with_tuples(made.get());
    return made;
  }

  Outcome build_node(NodeId id) {
    fields_.read(arena_.record(id));
    digest(id);
    std::string text = prefix_;
    text.append(digests_[id].data(), digests_[id].size());
    keys_[id] =
        PyRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!keys_[id]) return Outcome::failed;

    PyRef callable;
    if (fields_.tag == NodeTag::Stage) {
      const Outcome planned = stage(id, callable);
      if (planned != Outcome::built) return planned;
    } else {
      callable = plain_node(id);
      if (!callable) return Outcome::failed;
    }
    const std::size_t n = fields_.inputs.size();
    PyRef task(PyTuple_New(static_cast<Py_ssize_t>(1 + n)));
    if (!task) return Outcome::failed;
    tuple_set(task.get(), 0, callable.release());
    for (std::size_t i = 0; i < n; ++i) {
      tuple_set(task.get(), static_cast<Py_ssize_t>(1 + i),
                Py_NewRef(keys_[fields_.inputs[i]].get()));
    }
    if (PyDict_SetItem(graph_.get(), keys_[id].get(), task.get()) < 0) return Outcome::failed;
    hidden_.hide(task.get());
    return Outcome::built;
  }

  // The digest of (kind, name, params, descriptor, members, input digests)
  // as the Python path writes it with marshal version 2.
  void digest(NodeId id) {
    namespace m = marshal_v2;
    std::string& out = content_;
    out.clear();
    m::begin_tuple(out, 6);
    m::put_str(out, kKindWords[static_cast<int>(fields_.tag)]);
    m::put_str(out, fields_.name);
    m::put_params(out, fields_.params);
    if (fields_.tag == NodeTag::External) {
      m::begin_dict(out);
      for (std::size_t i = 0; i < kDescriptorStrings.size(); ++i) {
        m::put_str(out, kDescriptorStrings[i].name);
        m::put_str(out, fields_.descriptor[i]);
      }
      m::put_str(out, "preprocessing_ref");
      if (fields_.preprocessing_ref) {
        m::put_str(out, *fields_.preprocessing_ref);
      } else {
        m::put_none(out);
      }
      m::end_dict(out);
    } else {
      m::put_none(out);
    }
    if (fields_.tag == NodeTag::Stage) {
      m::begin_list(out, fields_.members.size());
      const MemberOp* const* ops = &member_ops_[first_member_[id]];
      for (const MemberFields& member : fields_.members) {
        out += (*ops++)->marshal_head;
        m::begin_list(out, member.refs.size());
        for (const StageRef& ref : member.refs) {
          m::begin_tuple(out, 2);
          m::put_str(out, ref.tag == StageRef::Tag::Input ? "input" : "member");
          m::put_int(out, static_cast<std::int64_t>(ref.index));
        }
        m::end_dict(out);
      }
    } else {
      m::put_none(out);
    }
    out += 'u';
    m::put_u32(out, static_cast<std::uint32_t>(fields_.inputs.size() * HexDigest().size()));
    for (NodeId input : fields_.inputs) out.append(digests_[input].data(), digests_[input].size());

    Blake2b hasher(kDigestBytes, kKeyPerson);
    hasher.update(out);
    std::uint8_t bytes[kDigestBytes];
    hasher.finish(bytes);
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kDigestBytes; ++i) {
      digests_[id][2 * i] = kHex[bytes[i] >> 4];
      digests_[id][2 * i + 1] = kHex[bytes[i] & 15];
    }
  }

  // partial(run_node, label, leaf), leaf the node's callable with its
  // leading arguments bound.
  PyRef plain_node(NodeId id) {
    const char* kind = kKindWords[static_cast<int>(fields_.tag)];
    PyRef name = string_to_py(fields_.name);
    if (!name) return name;
    PyRef label(
        fields_.name.empty()
            ? PyUnicode_FromFormat("node %llu (%s)", static_cast<unsigned long long>(id), kind)
            : PyUnicode_FromFormat("node %llu (%s %R)", static_cast<unsigned long long>(id), kind,
                                   name.get()));
    PyRef params = hidden(params_dict(fields_.params));
    if (!label || !params) return PyRef();
    PyRef leaf;
    switch (fields_.tag) {
      case NodeTag::Source: {
        PyObject* fn = plain_fn(Entry::source, label.get());
        if (fn != nullptr) leaf = partial({fn, name.get(), params.get()});
        break;
      }
      case NodeTag::Op:
      case NodeTag::Reduction: {
        const bool reduction = fields_.tag == NodeTag::Reduction;
        PyObject* fn = named_fn(reduction, fields_.name, name.get(), label.get());
        if (fn != nullptr) leaf = partial({fn, params.get()});
        break;
      }
      case NodeTag::External: {
        PyObject* fn = plain_fn(Entry::external, label.get());
        PyRef descriptor = fn ? hidden(descriptor_dict()) : PyRef();
        if (descriptor) leaf = partial({fn, descriptor.get(), params.get()});
        break;
      }
      case NodeTag::Exchange:
      case NodeTag::Join: {
        const Entry entry = fields_.tag == NodeTag::Exchange ? Entry::exchange : Entry::join;
        PyObject* fn = plain_fn(entry, label.get());
        if (fn != nullptr) leaf = partial({fn, params.get()});
        break;
      }
      case NodeTag::Stage:
        break;
    }
    if (!leaf) return leaf;
    return partial({calls_.run_node, label.get(), leaf.get()});
  }

  // partial(run_stage, id, plan), the plan a tuple of (partial(fn, params),
  // refs, kind, name, index, frees) per member, a ref k >= 0 naming the
  // stage's input k and -1 - m its member m, frees the members whose values
  // it is the last to use.
  Outcome stage(NodeId id, PyRef& callable) {
    const std::vector<MemberFields>& members = fields_.members;
    const std::size_t n = members.size();
    if (n == 0) return Outcome::general;
    const std::size_t n_inputs = fields_.inputs.size();
    // Who last reads each member's value, and whether the members are one
    // chain, each reading the one before.
    last_use_.resize(n);
    bool chain = true;
    for (std::size_t index = 0; index < n; ++index) {
      last_use_[index] = index;
      bool reads_previous = index == 0;
      for (const StageRef& ref : members[index].refs) {
        const bool input = ref.tag == StageRef::Tag::Input;
        if (input ? ref.index >= n_inputs : ref.index >= index) return Outcome::general;
        if (!input) {
          last_use_[ref.index] = index;
          reads_previous = reads_previous || ref.index + 1 == index;
        }
      }
      chain = chain && reads_previous;
    }
    frees_.assign(n, {});
    for (std::size_t m = 0; m + 1 < n; ++m) frees_[last_use_[m]].push_back(m);

    PyRef plan(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!plan) return Outcome::failed;
    for (std::size_t index = 0; index < n; ++index) {
      MemberOp& op = *member_ops_[first_member_[id] + index];
      const std::span<const StageRef> refs = members[index].refs;
      PyRef refs_tuple(PyTuple_New(static_cast<Py_ssize_t>(refs.size())));
      if (!refs_tuple) return Outcome::failed;
      for (std::size_t r = 0; r < refs.size(); ++r) {
        const auto k = static_cast<long long>(refs[r].index);
        PyObject* value = PyLong_FromLongLong(refs[r].tag == StageRef::Tag::Input ? k : -1 - k);
        if (value == nullptr) return Outcome::failed;
        tuple_set(refs_tuple.get(), static_cast<Py_ssize_t>(r), value);
      }
      HiddenFromCollector::hide_for_good(refs_tuple.get());
      PyRef frees = frees_tuple(frees_[index]);
      PyRef position(PyLong_FromSize_t(index));
      if (!frees || !position) return Outcome::failed;
      if (!op.fn && !find_member_fn(id, index, op)) return Outcome::failed;
      PyRef params = hidden(PyRef(PyDict_Copy(op.params.get())));
      PyRef bound = params ? partial({op.fn.get(), params.get()}) : PyRef();
      PyRef entry = bound ? PyRef(PyTuple_Pack(6, bound.get(), refs_tuple.get(), op.kind.get(),
                                               op.name.get(), position.get(), frees.get()))
                          : PyRef();
      if (!entry) return Outcome::failed;
      hidden_.hide(entry.get());
      tuple_set(plan.get(), static_cast<Py_ssize_t>(index), entry.release());
    }
    hidden_.hide(plan.get());
    PyRef node_id(PyLong_FromUnsignedLongLong(id));
    if (!node_id) return Outcome::failed;
    callable = partial({calls_.run_stage, node_id.get(), plan.get()});
    if (!callable) return Outcome::failed;
    if (!chain && least_to_split_ != 0 && n >= least_to_split_) {
      if (PyList_Append(wide_.get(), keys_[id].get()) < 0) return Outcome::failed;
    }
    return Outcome::built;
  }

  // A tuple of member indices; the empty one and those of one index, which
  // most members have, are shared.
  PyRef frees_tuple(const std::vector<std::size_t>& members) {
    if (members.size() > 1) {
      PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(members.size())));
      if (!tuple) return tuple;
      for (std::size_t i = 0; i < members.size(); ++i) {
        PyObject* value = PyLong_FromSize_t(members[i]);
        if (value == nullptr) return PyRef();
        tuple_set(tuple.get(), static_cast<Py_ssize_t>(i), value);
      }
      HiddenFromCollector::hide_for_good(tuple.get());
      return tuple;
    }
    if (members.empty()) return PyRef(PyTuple_New(0));
    const std::size_t m = members[0];
    if (m >= single_frees_.size()) single_frees_.resize(m + 1);
    if (!single_frees_[m]) {
      PyRef value(PyLong_FromSize_t(m));
      single_frees_[m] = value ? PyRef(PyTuple_Pack(1, value.get())) : PyRef();
      if (!single_frees_[m]) return PyRef();
      HiddenFromCollector::hide_for_good(single_frees_[m].get());
    }
    return PyRef::borrow(single_frees_[m].get());
  }

  bool find_member_fn(NodeId id, std::size_t index, MemberOp& op) {
    PyObject* fn = named_[op.reduction ? 1 : 0].find(op.name_text);
    if (fn == nullptr) {
      PyRef where(PyUnicode_FromFormat("node %llu (stage member %zu: %U %R)",
                                       static_cast<unsigned long long>(id), index, op.kind.get(),
                                       op.name.get()));
      if (!where) return false;
      fn = named_fn(op.reduction, op.name_text, op.name.get(), where.get());
      if (fn == nullptr) return false;
    }
    op.fn = PyRef::borrow(fn);
    return true;
  }

  enum class Entry { source, ops, reductions, external, exchange, join };

  // resolver.plain(entry, where), asked once per entry: what it finds does
  // not change within a call.
  PyObject* plain_fn(Entry entry, PyObject* where) {
    PyRef& found = plain_[static_cast<int>(entry)];
    if (!found) {
      found = PyRef(PyObject_CallFunctionObjArgs(
          calls_.plain, entry_words_[static_cast<int>(entry)].get(), where, nullptr));
    }
    return found.get();
  }

  // resolver.named(entry, name, where), asked once per name.
  PyObject* named_fn(bool reduction, std::string_view text, PyObject* name, PyObject* where) {
    NamedCache& cache = named_[reduction ? 1 : 0];
    if (PyObject* fn = cache.find(text)) return fn;
    const Entry entry = reduction ? Entry::reductions : Entry::ops;
    PyRef fn(PyObject_CallFunctionObjArgs(calls_.named, entry_words_[static_cast<int>(entry)].get(),
                                          name, where, nullptr));
    if (!fn) return nullptr;
    PyObject* borrowed = fn.get();
    cache.keep(text, std::move(fn));
    return borrowed;
  }

  PyRef params_dict(std::span<const ParamView> params) {
    PyRef dict(PyDict_New());
    if (!dict) return dict;
    for (const ParamView& p : params) {
      PyRef key = string_to_py(p.key);
      PyRef value = param_value_to_py(p);
      if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
        return PyRef();
      }
    }
    return dict;
  }

  PyRef descriptor_dict() {
    PyRef dict(PyDict_New());
    if (!dict) return dict;
    for (std::size_t i = 0; i < kDescriptorStrings.size(); ++i) {
      PyRef value = string_to_py(fields_.descriptor[i]);
      if (!value || PyDict_SetItem(dict.get(), state_.descriptor_keys[i], value.get()) != 0) {
        return PyRef();
      }
    }
    PyRef ref = fields_.preprocessing_ref ? string_to_py(*fields_.preprocessing_ref)
                                          : PyRef::borrow(Py_None);
    if (!ref || PyDict_SetItem(dict.get(), state_.key(Key::preprocessing_ref), ref.get()) != 0) {
      return PyRef();
    }
    return dict;
  }

  // The parsed token, nullptr when making its objects failed.
  MemberOp* member_op(std::string_view token) {
    if (const std::size_t* at = token_index_.find(token)) return &ops_[*at];
    MemberOp fresh;
    fresh.token = std::string(token);
    if (std::optional<OpToken> op = parse_op_token(token)) {
      fresh.parsed = true;
      fresh.reduction = op->kind == "red";
      fresh.kind = string_to_py(op->kind);
      fresh.name = string_to_py(op->name);
      fresh.name_text = op->name;
      fresh.params = params_to_py(op->params);
      if (!fresh.kind || !fresh.name || !fresh.params) return nullptr;
      namespace m = marshal_v2;
      std::string& head = fresh.marshal_head;
      m::begin_dict(head);
      m::put_str(head, "kind");
      m::put_str(head, op->kind);
      m::put_str(head, "name");
      m::put_str(head, op->name);
      m::put_str(head, "params");
      m::begin_dict(head);
      for (const auto& [key, value] : op->params) {
        m::put_str(head, key);
        m::put_param_value(head, ParamView::of(key, value));
      }
      m::end_dict(head);
      m::put_str(head, "inputs");
    }
    ops_.push_back(std::move(fresh));
    // Keyed by the copy the deque keeps in place.
    token_index_.try_emplace(ops_.back().token, ops_.size() - 1);
    return &ops_.back();
  }

  const ModuleState& state_;
  const LoweringCalls& calls_;
  const std::string prefix_;
  // Stages of this many members or more that are not one chain are listed
  // for the lowering to split; 0 for none.
  const std::size_t least_to_split_;
  PyRef wide_;
  const NodeArena& arena_;
  PyRef graph_;
  std::array<PyRef, 6> entry_words_;
  std::array<PyRef, 6> plain_;
  std::array<NamedCache, 2> named_;  // ops, reductions
  FlatMap<std::string_view, std::size_t, KeyedTextHash> token_index_;
  std::deque<MemberOp> ops_;
  RecordFields fields_;  // the node being built
  // Every stage member's parsed token, a stage's from first_member_[id] on.
  std::vector<MemberOp*> member_ops_;
  std::vector<std::size_t> last_use_;            // the stage being built's
  std::vector<std::vector<std::size_t>> frees_;  // the same
  std::vector<PyRef> single_frees_;              // (m,) by m
  std::vector<std::size_t> first_member_;
  std::string content_;  // its marshal bytes
  std::vector<HexDigest> digests_;
  std::vector<PyRef> keys_;
  // Last, so that it is destroyed first, while all it hid is alive.
  HiddenFromCollector hidden_;
};

// The ids of `outputs` (a list of ints), or nothing when one is not a node
// of a store of `n` nodes.
std::optional<std::vector<NodeId>> output_ids(PyObject* outputs, std::size_t n) {
  std::vector<NodeId> ids;
  const Py_ssize_t count = list_size(outputs);
  ids.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(list_item(outputs, i), &overflow);
    if (overflow != 0 || id < 0 || static_cast<unsigned long long>(id) >= n) return std::nullopt;
    ids.push_back(static_cast<NodeId>(id));
  }
  return ids;
}

// The ids the outputs reach, ascending, so that inputs come before users.
std::vector<NodeId> reachable(const NodeArena& arena, const std::vector<NodeId>& outputs) {
  std::vector<bool> seen(arena.size());
  NodeIds stack(outputs.begin(), outputs.end());
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    if (seen[id]) continue;
    seen[id] = true;
    append_inputs(arena.record(id), stack);
  }
  std::vector<NodeId> ids;
  for (NodeId id = 0; id < arena.size(); ++id) {
    if (seen[id]) ids.push_back(id);
  }
  return ids;
}

}  // namespace

PyObject* store_lower(PyObject* self, PyTypeObject* cls, PyObject* const* args) {
  const ModuleState& state = *state_of_type(cls);
  PyObject* outputs = args[0];
  PyObject* prefix = args[1];
  // Anything but a list of ints and a str that has a UTF-8 form (one with
  // lone surrogates has none) is the Python path's to explain.
  if (!PyList_CheckExact(outputs) || !PyUnicode_CheckExact(prefix)) Py_RETURN_NONE;
  std::size_t least_to_split = 0;
  if (!PyLong_CheckExact(args[2]) ||
      (least_to_split = PyLong_AsSize_t(args[2])) == static_cast<std::size_t>(-1)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "least_to_split must be an int >= 0");
    return nullptr;
  }
  PyObject* given = args[3];
  if (!PyTuple_CheckExact(given) || tuple_size(given) != 5) {
    PyErr_SetString(PyExc_TypeError, "calls must be (partial, run_node, run_stage, plain, named)");
    return nullptr;
  }
  const LoweringCalls calls{tuple_item(given, 0), tuple_item(given, 1), tuple_item(given, 2),
                            tuple_item(given, 3), tuple_item(given, 4)};
  Py_ssize_t prefix_size = 0;
  const char* prefix_text = PyUnicode_AsUTF8AndSize(prefix, &prefix_size);
  if (prefix_text == nullptr) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return guarded(state, [&]() -> PyObject* {
    const StoreSnapshot snapshot = without_gil([&] { return store_of(self).snapshot(); });
    const std::optional<std::vector<NodeId>> ids = output_ids(outputs, snapshot.arena.size());
    if (!ids) Py_RETURN_NONE;
    TaskGraphBuilder build(state, calls,
                           std::string(prefix_text, static_cast<std::size_t>(prefix_size)),
                           least_to_split, snapshot.arena);
    if (!build.start()) return nullptr;
    const std::optional<bool> parse = build.tokens_parse();
    if (!parse) return nullptr;
    if (!*parse) Py_RETURN_NONE;
    GilHandover handover;
    for (NodeId id : reachable(snapshot.arena, *ids)) {
      if (!handover.poll()) return nullptr;
      const Outcome outcome = build.node(id);
      if (outcome == Outcome::failed) return nullptr;
      if (outcome == Outcome::general) Py_RETURN_NONE;
    }
    return build.result(*ids).release();
  });
}

}  // namespace zembrik::py
