// GraphStore.nodes(): one new dict per node, in id order, built from a copy
// of the arena.
//
// A large store makes millions of containers. The cyclic collector would
// scan the growing result over and over, in the collections its own
// allocations set off, though nothing can refer to it but the list being
// built. So every finished entry is taken out of the collector's sight, and
// everything is put back in one go once the list is complete.
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "base/flat_map.hpp"
#include "base/hash.hpp"
#include "ir/display.hpp"
#include "ir/record.hpp"
#include "ir/token.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/graph_store.hpp"
#include "python/hidden_from_collector.hpp"

namespace zembrik::py {
namespace {

// Builds the entries of one call, hiding each container once it is complete.
class EntryBuilder {
 public:
  EntryBuilder(const ModuleState& state, HiddenFromCollector& hidden)
      : state_(state), hidden_(hidden) {}

  // The entry of the node whose record is `record`. When it fails, its
  // containers are not hidden.
  PyRef node(NodeId id, bool output, std::string_view record) {
    const std::size_t mark = hidden_.size();
    fields_.read(record);
    PyRef entry = node_entry(id, output);
    if (!entry) hidden_.forget_from(mark);
    return entry;
  }

 private:
  PyRef hidden(PyRef container) {
    if (container) hidden_.hide(container.get());
    return container;
  }

  bool set(const PyRef& dict, Key key, PyRef value) {
    return value && PyDict_SetItem(dict.get(), state_.key(key), value.get()) == 0;
  }

  PyRef node_entry(NodeId id, bool output) {
    // A copy of the prototype has room for every key, and the keys in
    // their order, so filling it never resizes it.
    PyRef dict(PyDict_Copy(state_.node_prototype));
    const bool ok =
        dict && set(dict, Key::id, PyRef(PyLong_FromUnsignedLongLong(id))) &&
        set(dict, Key::output, PyRef::borrow(output ? Py_True : Py_False)) &&
        set(dict, Key::inputs, hidden(ids_to_py(fields_.inputs))) &&
        set(dict, Key::kind, PyRef::borrow(state_.kind_words[static_cast<int>(fields_.tag)])) &&
        set(dict, Key::name, string_to_py(fields_.name)) &&
        set(dict, Key::params, hidden(param_views_to_py(fields_.params, [&](std::string_view k) {
              return key_str(k);
            })));
    if (!ok) return PyRef();
    if (fields_.tag == NodeTag::External) {
      if (!set(dict, Key::descriptor, hidden(descriptor_to_py(state_, fields_)))) return PyRef();
    }
    if (fields_.tag == NodeTag::Stage) {
      if (!members(dict)) return PyRef();
    }
    return hidden(std::move(dict));
  }

  // A str for a parameter key. Graphs use a handful of keys over and over,
  // so the first few met in a call are kept and shared; a bounded list, so
  // a store of many distinct keys costs a short scan per key, no more.
  PyRef key_str(std::string_view key) {
    for (const auto& [text, str] : param_keys_) {
      if (text == key) return PyRef::borrow(str.get());
    }
    PyRef str = string_to_py(key);
    if (str && param_keys_.size() < kKeptParamKeys) {
      param_keys_.emplace_back(std::string(key), PyRef::borrow(str.get()));
    }
    return str;
  }

  // What a member token says, parsed once per call: stages repeat the
  // same few tokens over and over.
  struct ParsedToken {
    std::string token;
    PyRef kind;
    PyRef name;
    PyRef params;  // copied for each member, whose dict is its own
  };

  const ParsedToken* parsed(std::string_view token) {
    if (const std::size_t* at = token_index_.find(token)) return &tokens_[*at];
    std::optional<OpToken> op = parse_op_token(token);
    if (!op) {
      PyErr_Format(PyExc_ValueError, "unparseable stage member token %s",
                   display_str(token).c_str());
      return nullptr;
    }
    ParsedToken fresh{std::string(token), string_to_py(op->kind), string_to_py(op->name),
                      params_to_py(op->params)};
    if (!fresh.kind || !fresh.name || !fresh.params) return nullptr;
    tokens_.push_back(std::move(fresh));
    // Keyed by the copy the deque keeps in place.
    token_index_.try_emplace(tokens_.back().token, tokens_.size() - 1);
    return &tokens_.back();
  }

  PyRef member(const MemberFields& member) {
    const ParsedToken* op = parsed(member.token);
    if (op == nullptr) return PyRef();
    PyRef refs(PyList_New(static_cast<Py_ssize_t>(member.refs.size())));
    if (!refs) return refs;
    for (std::size_t i = 0; i < member.refs.size(); ++i) {
      const StageRef& ref = member.refs[i];
      PyObject* tag = state_.key(ref.tag == StageRef::Tag::Input ? Key::input : Key::member);
      PyObject* pair = Py_BuildValue("(OK)", tag, static_cast<unsigned long long>(ref.index));
      if (pair == nullptr) return PyRef();
      list_set(refs.get(), static_cast<Py_ssize_t>(i), pair);
      hidden_.hide(pair);
    }
    PyRef dict(PyDict_New());
    const bool ok = dict && set(dict, Key::kind, PyRef::borrow(op->kind.get())) &&
                    set(dict, Key::name, PyRef::borrow(op->name.get())) &&
                    set(dict, Key::params, hidden(PyRef(PyDict_Copy(op->params.get())))) &&
                    set(dict, Key::inputs, hidden(std::move(refs)));
    return ok ? hidden(std::move(dict)) : PyRef();
  }

  bool members(const PyRef& dict) {
    const std::vector<MemberFields>& members = fields_.members;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(members.size())));
    if (!list) return false;
    for (std::size_t i = 0; i < members.size(); ++i) {
      PyRef entry = member(members[i]);
      if (!entry) return false;
      list_set(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return set(dict, Key::n_members, PyRef(PyLong_FromSize_t(members.size()))) &&
           set(dict, Key::members, hidden(std::move(list)));
  }

  const ModuleState& state_;
  HiddenFromCollector& hidden_;
  // Keyed: the tokens come from the store's users.
  FlatMap<std::string_view, std::size_t, KeyedTextHash> token_index_;
  RecordFields fields_;  // the node being built
  static constexpr std::size_t kKeptParamKeys = 16;
  std::vector<std::pair<std::string, PyRef>> param_keys_;
  std::deque<ParsedToken> tokens_;
};

}  // namespace

PyObject* store_nodes(PyObject* self, PyTypeObject* cls, PyObject* const*) {
  const ModuleState& state = *state_of_type(cls);
  return guarded(state, [&]() -> PyObject* {
    const StoreSnapshot snapshot = without_gil([&] { return store_of(self).snapshot(); });
    const std::size_t n = snapshot.arena.size();
    std::vector<bool> marked(n);
    for (NodeId id : snapshot.outputs) marked[id] = true;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    HiddenFromCollector hidden;
    hidden.hide(list.get());
    EntryBuilder build(state, hidden);
    // Building the entries needs the interpreter lock, so other threads get
    // it now and then; the list is not theirs to see until it is returned.
    GilHandover handover;
    for (std::size_t i = 0; i < n; ++i) {
      if (!handover.poll()) return nullptr;
      PyRef entry = build.node(i, marked[i], snapshot.arena.record(i));
      if (!entry) return nullptr;
      list_set(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list.release();
  });
}

}  // namespace zembrik::py
