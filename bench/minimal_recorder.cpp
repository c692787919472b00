// minimal_recorder: the least a native add_op must do, as the floor that
// bench_record_instructions.py measures GraphStore.add_op against. Not part
// of the package; build_minimal_recorder.py compiles it.
//
// Store().add_op(name, inputs, params) (METH_FASTCALL, positional only):
// checks that name is a str and inputs a list or tuple of ints below the
// node count, reads params (None or a dict of str keys to bool, exact int,
// exact float or exact str values) in key order, writes the record the real
// store writes straight into the arena's tail with the project's own field
// writers, hashes it with the keyed SipHash, and under a mutex (tried with
// the interpreter lock held, waited for without it) probes one flat table
// of 24-bit hash tags and ids, appending the record when it is new. Returns
// the id as a new int.
//
// Only the error messages, subclasses of the value types, iterables that
// are not lists or tuples, and more than kMost inputs or parameters are
// left out; a NaN record is compared in canonical form, as in the store.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/hash.hpp"
#include "ir/record.hpp"
#include "ir/record_builder.hpp"

namespace {

using zembrik::NodeId;
using zembrik::ParamValue;
using zembrik::ParamView;
namespace record = zembrik::record;

constexpr std::size_t kMost = 32;
constexpr int kIdBits = 40;
constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kIdBits) - 1;

struct Core {
  std::mutex mutex;
  char* bytes = nullptr;  // the records back to back
  std::size_t used = 0;
  std::size_t capacity = 0;
  std::vector<std::uint64_t> ends;   // end offset << 1 | has_nan, per record
  std::vector<std::uint64_t> slots;  // 0, or the hash's top 24 bits << 40 | id + 1
  int shift = 60;
  zembrik::HashKey key = zembrik::process_hash_key();

  Core() : slots(16) {}
  ~Core() { std::free(bytes); }

  std::string_view record_at(std::size_t id) const {
    const std::size_t begin = id == 0 ? 0 : ends[id - 1] >> 1;
    return std::string_view(bytes + begin, (ends[id] >> 1) - begin);
  }
  std::uint64_t hash(std::string_view bytes_of, bool has_nan) const {
    return has_nan ? zembrik::keyed_hash(record::canonical(bytes_of), key)
                   : zembrik::keyed_hash(bytes_of, key);
  }
  bool same(std::size_t id, std::string_view candidate, bool has_nan) const {
    const std::string_view held = record_at(id);
    if (!has_nan && (ends[id] & 1) == 0) return held == candidate;
    return record::canonical(held) == record::canonical(candidate);
  }
  char* room(std::size_t more) {
    if (capacity - used < more) {
      const std::size_t grown = std::max(capacity * 2, used + more);
      char* fresh = static_cast<char*>(std::realloc(bytes, grown));
      if (fresh == nullptr) throw std::bad_alloc();
      bytes = fresh;
      capacity = grown;
    }
    return bytes + used;
  }
  void grow_index() {
    std::vector<std::uint64_t> fresh(slots.size() * 2);
    const int bits = 64 - shift + 1;
    for (std::uint64_t slot : slots) {
      if (slot == 0) continue;
      const std::uint64_t id = (slot & kIdMask) - 1;
      const std::uint64_t h =
          bits <= 64 - kIdBits ? slot & ~kIdMask : hash(record_at(id), (ends[id] & 1) != 0);
      std::size_t at = h >> (shift - 1);
      while (fresh[at] != 0) at = (at + 1) & (fresh.size() - 1);
      fresh[at] = slot;
    }
    slots.swap(fresh);
    --shift;
  }
};

struct StoreObject {
  PyObject_HEAD Core core;
};

template <class Sink>
bool put_op(Sink& out, std::string_view name, const ParamView* params, std::size_t n_params,
            const NodeId* ids, std::size_t n_ids) {
  bool nan = false;
  out.u8(static_cast<std::uint8_t>(zembrik::NodeTag::Op));
  out.str(name);
  out.varint(n_params);
  for (std::size_t i = 0; i < n_params; ++i)
    nan |= record::put_param(out, params[i], record::Nans::Keep);
  record::put_ids(out, std::span<const NodeId>(ids, n_ids));
  return nan;
}

PyObject* type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return nullptr;
}

bool read_value(PyObject* value, ParamView& out) {
  if (PyBool_Check(value)) {
    out.tag = ParamValue::Tag::Bool;
    out.bool_value = value == Py_True;
  } else if (PyLong_CheckExact(value)) {
    int overflow = 0;
    out.tag = ParamValue::Tag::Int;
    out.int_value = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return type_error("int out of range") != nullptr;
  } else if (PyFloat_CheckExact(value)) {
    out.tag = ParamValue::Tag::Float;
    out.float_value = PyFloat_AS_DOUBLE(value);
  } else if (PyUnicode_CheckExact(value)) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return false;
    out.tag = ParamValue::Tag::Str;
    out.str_value = std::string_view(text, static_cast<std::size_t>(size));
  } else {
    return type_error("bad param value") != nullptr;
  }
  return true;
}

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs) try {
  if (nargs < 2 || nargs > 3) return type_error("add_op takes 2 or 3 arguments");
  if (!PyUnicode_Check(args[0])) return type_error("name must be str");
  Py_ssize_t name_size;
  const char* name_text = PyUnicode_AsUTF8AndSize(args[0], &name_size);
  if (name_text == nullptr) return nullptr;
  const std::string_view name(name_text, static_cast<std::size_t>(name_size));

  PyObject* inputs = args[1];
  if (!PyList_CheckExact(inputs) && !PyTuple_CheckExact(inputs)) {
    return type_error("inputs must be a list or tuple");
  }
  NodeId ids[kMost];
  const Py_ssize_t n_ids = PySequence_Fast_GET_SIZE(inputs);
  if (static_cast<std::size_t>(n_ids) > kMost) return type_error("too many inputs");
  for (Py_ssize_t i = 0; i < n_ids; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(inputs, i);
    if (!PyLong_CheckExact(item)) return type_error("ids must be ints");
    ids[i] = PyLong_AsUnsignedLongLong(item);
    if (ids[i] == static_cast<NodeId>(-1) && PyErr_Occurred()) return nullptr;
  }

  ParamView params[kMost];
  std::size_t n_params = 0;
  PyObject* dict = nargs > 2 ? args[2] : Py_None;
  if (dict != Py_None) {
    if (!PyDict_Check(dict)) return type_error("params must be a dict or None");
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      if (n_params == kMost) return type_error("too many params");
      if (!PyUnicode_Check(key)) return type_error("keys must be str");
      Py_ssize_t size;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      if (text == nullptr) return nullptr;
      ParamView& p = params[n_params++];
      p.key = std::string_view(text, static_cast<std::size_t>(size));
      if (!read_value(value, p)) return nullptr;
    }
    for (std::size_t i = 1; i < n_params; ++i) {
      for (std::size_t j = i; j > 0 && params[j].key < params[j - 1].key; --j) {
        std::swap(params[j], params[j - 1]);
      }
    }
  }

  Core& core = reinterpret_cast<StoreObject*>(self)->core;
  if (!core.mutex.try_lock()) {
    Py_BEGIN_ALLOW_THREADS core.mutex.lock();
    Py_END_ALLOW_THREADS
  }
  const std::lock_guard held(core.mutex, std::adopt_lock);
  const std::size_t count = core.ends.size();
  for (Py_ssize_t i = 0; i < n_ids; ++i) {
    if (ids[i] >= count) {
      PyErr_Format(PyExc_ValueError, "no node with id %llu",
                   static_cast<unsigned long long>(ids[i]));
      return nullptr;
    }
  }
  if ((count + 1) * 4 > core.slots.size() * 3) core.grow_index();
  if (count == core.ends.capacity()) core.ends.reserve(2 * count + 16);
  record::SizeBound bound;
  put_op(bound, name, params, n_params, ids, static_cast<std::size_t>(n_ids));
  record::Writer writer{core.room(bound.bytes)};
  const bool has_nan = put_op(writer, name, params, n_params, ids, static_cast<std::size_t>(n_ids));
  const std::string_view candidate(core.bytes + core.used,
                                   static_cast<std::size_t>(writer.at - (core.bytes + core.used)));
  const std::uint64_t h = core.hash(candidate, has_nan);
  const std::size_t mask = core.slots.size() - 1;
  std::size_t at = h >> core.shift;
  for (std::uint64_t slot; (slot = core.slots[at]) != 0; at = (at + 1) & mask) {
    if ((slot >> kIdBits) == (h >> kIdBits) &&
        core.same((slot & kIdMask) - 1, candidate, has_nan)) {
      return PyLong_FromUnsignedLongLong((slot & kIdMask) - 1);
    }
  }
  core.used += candidate.size();
  core.ends.push_back(static_cast<std::uint64_t>(core.used) << 1 | (has_nan ? 1 : 0));
  core.slots[at] = (h >> kIdBits) << kIdBits | (count + 1);
  return PyLong_FromUnsignedLongLong(count);
} catch (const std::bad_alloc&) {
  return PyErr_NoMemory();
}

PyObject* node_count(PyObject* self, PyObject*) {
  Core& core = reinterpret_cast<StoreObject*>(self)->core;
  const std::lock_guard held(core.mutex);
  return PyLong_FromSize_t(core.ends.size());
}

PyObject* store_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self != nullptr) new (&reinterpret_cast<StoreObject*>(self)->core) Core();
  return self;
}

void store_dealloc(PyObject* self) {
  reinterpret_cast<StoreObject*>(self)->core.~Core();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"add_op", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_op)), METH_FASTCALL,
     nullptr},
    {"node_count", node_count, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec store_type = {"minimal_recorder.Store", sizeof(StoreObject), 0, Py_TPFLAGS_DEFAULT,
                          slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "minimal_recorder",
                          nullptr,
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_minimal_recorder() {
  PyObject* module = PyModule_Create(&module_def);
  PyObject* type = module != nullptr ? PyType_FromSpec(&store_type) : nullptr;
  if (type == nullptr || PyModule_AddObject(module, "Store", type) < 0) {
    Py_XDECREF(type);
    Py_XDECREF(module);
    return nullptr;
  }
  return module;
}
