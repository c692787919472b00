// GraphStore._lower(): the task graph zembrik_dask.to_dask makes of a store,
// built here from the records instead of from nodes() dicts, stages split
// into parts as its `stages` says.
//
// It makes exactly the graph the lowering's Python path makes: the same
// keys (the same marshal bytes digested by the same BLAKE2b), the same task
// tuples and partials, the same lookups of `ops` in the same order, through
// the caller's resolver, so every LoweringError is the resolver's own. For
// what only the Python path explains (an id out of range, a malformed
// stage) it returns None, and the caller takes that path, which then raises
// exactly as it always did.
#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/flat_map.hpp"
#include "base/hash.hpp"
#include "ir/record.hpp"
#include "ir/token.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/graph_store.hpp"
#include "python/hidden_from_collector.hpp"
#include "python/stage_parts.hpp"
#include "python/task_key.hpp"

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
  enum class Split { none, split, auto_ };

  TaskGraphBuilder(const ModuleState& state, const LoweringCalls& calls, std::string prefix,
                   Split split, std::size_t least_reads, std::size_t max_parts,
                   const NodeArena& arena)
      : state_(state),
        calls_(calls),
        prefix_(std::move(prefix)),
        split_(split),
        least_reads_(least_reads),
        max_parts_(max_parts),
        arena_(arena),
        digests_(arena.size()),
        keys_(arena.size()) {}

  // False when setting up failed (exception set).
  bool start() {
    graph_ = PyRef(PyDict_New());
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
    return PyRef(PyTuple_Pack(2, graph_.get(), keys.get()));
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

    if (fields_.tag == NodeTag::Stage) return stage(id);
    PyRef callable = plain_node(id);
    if (!callable) return Outcome::failed;
    return add_task(keys_[id].get(), std::move(callable), fields_.inputs.size(),
                    [&](std::size_t i) { return keys_[fields_.inputs[i]].get(); });
  }

  // graph[key] = (callable, *inputs), `input(i)` the key of input i.
  template <class InputKey>
  Outcome add_task(PyObject* key, PyRef callable, std::size_t n, InputKey&& input) {
    PyRef task(PyTuple_New(static_cast<Py_ssize_t>(1 + n)));
    if (!task) return Outcome::failed;
    tuple_set(task.get(), 0, callable.release());
    for (std::size_t i = 0; i < n; ++i) {
      tuple_set(task.get(), static_cast<Py_ssize_t>(1 + i), Py_NewRef(input(i)));
    }
    if (PyDict_SetItem(graph_.get(), key, task.get()) < 0) return Outcome::failed;
    hidden_.hide(task.get());
    return Outcome::built;
  }

  void digest(NodeId id) {
    member_heads_.clear();
    if (fields_.tag == NodeTag::Stage) {
      const MemberOp* const* ops = &member_ops_[first_member_[id]];
      for (std::size_t i = 0; i < fields_.members.size(); ++i) {
        member_heads_.push_back(&ops[i]->marshal_head);
      }
    }
    input_digests_.clear();
    for (NodeId input : fields_.inputs) input_digests_.push_back(&digests_[input]);
    digests_[id] = task_digest(fields_, member_heads_, input_digests_, content_);
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
    PyRef params = hidden(param_views_to_py(fields_.params, string_to_py));
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
        PyRef descriptor = fn ? hidden(descriptor_to_py(state_, fields_)) : PyRef();
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

  // The stage's tasks: one, partial(run_stage, id, plan) over the stage's
  // inputs, or, when the mode splits it, one per part, each over what the
  // part reads. A plan holds (partial(fn, params), refs, kind, name, index,
  // frees) per member, a ref k >= 0 naming the task's input k and -1 - m
  // its member m, frees the task's members whose values it is the last to
  // use.
  Outcome stage(NodeId id) {
    const std::vector<MemberFields>& members = fields_.members;
    const std::size_t n = members.size();
    if (n == 0) return Outcome::general;
    const std::size_t n_inputs = fields_.inputs.size();
    bool chain = true;  // each member reads the one before
    for (std::size_t index = 0; index < n; ++index) {
      bool reads_previous = index == 0;
      for (const StageRef& ref : members[index].refs) {
        const bool input = ref.tag == StageRef::Tag::Input;
        if (input ? ref.index >= n_inputs : ref.index >= index) return Outcome::general;
        reads_previous = reads_previous || (!input && ref.index + 1 == index);
      }
      chain = chain && reads_previous;
    }
    // The members' callables first, in member order: the lookups, and any
    // error, are the general path's.
    stage_ops_ = &member_ops_[first_member_[id]];
    bound_.clear();
    for (std::size_t index = 0; index < n; ++index) {
      MemberOp& op = *stage_ops_[index];
      if (!op.fn && !find_member_fn(id, index, op)) return Outcome::failed;
      PyRef params = hidden(PyRef(PyDict_Copy(op.params.get())));
      PyRef bound = params ? partial({op.fn.get(), params.get()}) : PyRef();
      if (!bound) return Outcome::failed;
      bound_.push_back(std::move(bound));
    }
    PyRef node_id(PyLong_FromUnsignedLongLong(id));
    if (!node_id) return Outcome::failed;

    const bool wide =
        !chain && split_ != Split::none && (split_ == Split::split || n_inputs > least_reads_);
    std::optional<StageParts> parts;
    if (wide) {
      refs_.clear();
      for (const MemberFields& member : members) refs_.push_back(member.refs);
      parts = stage_parts(refs_, split_ == Split::split ? StageSplit::split : StageSplit::auto_,
                          auto_reads(n_inputs, least_reads_, max_parts_));
    }
    if (parts && parts->ends.size() > 1) return add_parts(id, *parts, node_id.get());
    // One task, its inputs the stage's, the refs as recorded.
    part_members_.resize(n);
    mapped_.resize(n);
    for (std::size_t m = 0; m < n; ++m) {
      part_members_[m] = m;
      mapped_[m].clear();
      for (const StageRef& ref : members[m].refs) mapped_[m].push_back(ref_value(ref));
    }
    PyRef plan = plan_of(n);
    PyRef callable = plan ? partial({calls_.run_stage, node_id.get(), plan.get()}) : PyRef();
    if (!callable) return Outcome::failed;
    return add_task(keys_[id].get(), std::move(callable), n_inputs,
                    [&](std::size_t i) { return keys_[fields_.inputs[i]].get(); });
  }

  // A task per part, in the order of their ends, the last under the
  // stage's key, the others under the key followed by "-" and their end.
  Outcome add_parts(NodeId id, const StageParts& parts, PyObject* node_id) {
    const std::vector<MemberFields>& members = fields_.members;
    const std::size_t n = members.size();
    part_keys_.clear();
    part_keys_.resize(n);
    local_.resize(n);
    // The members of each part, ascending, back to back in the order of
    // the parts' ends.
    start_.assign(n + 1, 0);
    for (std::size_t m = 0; m < n; ++m) ++start_[parts.part[m] + 1];
    for (std::size_t m = 0; m < n; ++m) start_[m + 1] += start_[m];
    by_part_.resize(n);
    for (std::size_t m = 0; m < n; ++m) by_part_[start_[parts.part[m]]++] = m;
    std::size_t from = 0;
    for (std::size_t end : parts.ends) {
      const std::size_t count = start_[end] - from;
      part_members_.assign(by_part_.begin() + static_cast<std::ptrdiff_t>(from),
                           by_part_.begin() + static_cast<std::ptrdiff_t>(from + count));
      from += count;
      for (std::size_t i = 0; i < count; ++i) local_[part_members_[i]] = i;
      mapped_.resize(count);
      slots_.clear();
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t m = part_members_[i];
        mapped_[i].clear();
        for (const StageRef& ref : members[m].refs) {
          if (ref.tag == StageRef::Tag::Member && parts.part[ref.index] == end) {
            mapped_[i].push_back(-1 - static_cast<long long>(local_[ref.index]));
            continue;
          }
          // What another task yields: one of the stage's inputs, or the
          // value of the part the read member ends.
          PyObject* source = ref.tag == StageRef::Tag::Input
                                 ? keys_[fields_.inputs[ref.index]].get()
                                 : part_keys_[ref.index].get();
          const auto at = std::find(slots_.begin(), slots_.end(), source);
          mapped_[i].push_back(static_cast<long long>(at - slots_.begin()));
          if (at == slots_.end()) slots_.push_back(source);
        }
      }
      PyRef key = end + 1 == n ? PyRef::borrow(keys_[id].get())
                               : PyRef(PyUnicode_FromFormat("%U-%zu", keys_[id].get(), end));
      PyRef plan = key ? plan_of(count) : PyRef();
      PyRef callable = plan ? partial({calls_.run_stage, node_id, plan.get()}) : PyRef();
      if (!callable) return Outcome::failed;
      const Outcome added = add_task(key.get(), std::move(callable), slots_.size(),
                                     [&](std::size_t s) { return slots_[s]; });
      if (added != Outcome::built) return added;
      part_keys_[end] = std::move(key);
    }
    return Outcome::built;
  }

  static long long ref_value(const StageRef& ref) {
    const auto k = static_cast<long long>(ref.index);
    return ref.tag == StageRef::Tag::Input ? k : -1 - k;
  }

  // The plan of a task that runs part_members_[0, count) of the stage being
  // built, whose refs mapped_ holds as the task reads them.
  PyRef plan_of(std::size_t count) {
    last_use_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      last_use_[i] = i;
      for (long long ref : mapped_[i]) {
        if (ref < 0) last_use_[static_cast<std::size_t>(-1 - ref)] = i;
      }
    }
    frees_.assign(count, {});
    for (std::size_t m = 0; m + 1 < count; ++m) frees_[last_use_[m]].push_back(m);

    PyRef plan(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!plan) return plan;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t member = part_members_[i];
      const MemberOp& op = *stage_ops_[member];
      PyRef refs(PyTuple_New(static_cast<Py_ssize_t>(mapped_[i].size())));
      if (!refs) return PyRef();
      for (std::size_t r = 0; r < mapped_[i].size(); ++r) {
        PyObject* value = PyLong_FromLongLong(mapped_[i][r]);
        if (value == nullptr) return PyRef();
        tuple_set(refs.get(), static_cast<Py_ssize_t>(r), value);
      }
      HiddenFromCollector::hide_for_good(refs.get());
      PyRef frees = frees_tuple(frees_[i]);
      PyRef position(PyLong_FromSize_t(member));
      PyRef entry = frees && position
                        ? PyRef(PyTuple_Pack(6, bound_[member].get(), refs.get(), op.kind.get(),
                                             op.name.get(), position.get(), frees.get()))
                        : PyRef();
      if (!entry) return PyRef();
      hidden_.hide(entry.get());
      tuple_set(plan.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    hidden_.hide(plan.get());
    return plan;
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
      fresh.marshal_head = member_marshal_head(*op);
    }
    ops_.push_back(std::move(fresh));
    // Keyed by the copy the deque keeps in place.
    token_index_.try_emplace(ops_.back().token, ops_.size() - 1);
    return &ops_.back();
  }

  const ModuleState& state_;
  const LoweringCalls& calls_;
  const std::string prefix_;
  // How stages that are not one chain become tasks: "auto" lets a part read
  // least_reads values, more for a stage wider than max_parts such parts.
  const Split split_;
  const std::size_t least_reads_;
  const std::size_t max_parts_;
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
  // The stage being built: its members' parsed tokens and callables, and the
  // part being planned.
  MemberOp* const* stage_ops_ = nullptr;
  std::vector<PyRef> bound_;
  std::vector<std::span<const StageRef>> refs_;
  std::vector<PyRef> part_keys_;                // by the member that ends the part
  std::vector<std::size_t> local_;              // a member's place in its part
  std::vector<std::size_t> start_;              // where each part's members start
  std::vector<std::size_t> by_part_;            // the members, part by part
  std::vector<std::size_t> part_members_;       // the part's members, ascending
  std::vector<std::vector<long long>> mapped_;  // their refs as the task reads them
  std::vector<PyObject*> slots_;                // the keys of what the task reads
  std::vector<std::size_t> last_use_;
  std::vector<std::vector<std::size_t>> frees_;
  std::vector<PyRef> single_frees_;  // (m,) by m
  std::vector<std::size_t> first_member_;
  std::string content_;  // its marshal bytes
  std::vector<const std::string*> member_heads_;
  std::vector<const HexDigest*> input_digests_;
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
  // (mode, reads, parts): how stages split; see to_dask's `stages`.
  PyObject* stages = args[2];
  std::optional<TaskGraphBuilder::Split> split;
  std::size_t least_reads = 0, max_parts = 0;
  if (PyTuple_CheckExact(stages) && tuple_size(stages) == 3) {
    PyObject* mode = tuple_item(stages, 0);
    least_reads = PyLong_AsSize_t(tuple_item(stages, 1));
    max_parts = PyLong_AsSize_t(tuple_item(stages, 2));
    if (PyErr_Occurred()) return nullptr;
    for (const auto& [word, value] : {std::pair{"whole", TaskGraphBuilder::Split::none},
                                      std::pair{"split", TaskGraphBuilder::Split::split},
                                      std::pair{"auto", TaskGraphBuilder::Split::auto_}}) {
      if (PyUnicode_Check(mode) && PyUnicode_CompareWithASCIIString(mode, word) == 0) {
        split = value;
      }
    }
  }
  if (!split || max_parts == 0) {
    PyErr_SetString(PyExc_TypeError, "stages must be (mode, reads, parts)");
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
                           std::string(prefix_text, static_cast<std::size_t>(prefix_size)), *split,
                           least_reads, max_parts, snapshot.arena);
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
