// PayloadDescriptor(*, kind, content_hash, framework, version, io_schema,
// preprocessing_ref=None): an immutable value with six read-only attributes.
// It holds no Python references, so it needs no GC support.
#include "python/payload_descriptor.hpp"

#include <array>
#include <new>
#include <utility>

#include "python/args.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/method_table.hpp"

namespace zembrik::py {
namespace {

PyPayloadDescriptor* as_descriptor(PyObject* self) {
  return reinterpret_cast<PyPayloadDescriptor*>(self);
}

constexpr char kDescriptorDoc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
    "preprocessing_ref=None)\n--\n\n"
    "An immutable description of the payload an External node carries, such as a\n"
    "model: five required strings and an optional preprocessing_ref, all passed\n"
    "by keyword and read back as attributes. Every field is part of the node's\n"
    "identity.\n"
    "\n"
    "Raises TypeError for a missing field or one that is not a str.";

// The five required strings come first, in the order of their fields.
PyObject* descriptor_new(PyTypeObject* type, PyObject* const* bound) {
  return guarded(*state_of_type(type), [&]() -> PyObject* {
    PayloadDescriptor value;
    const std::vector<Parameter>& parameters = signature_of<kNoOwner, kDescriptorDoc>().parameters;
    constexpr std::size_t kRef = kDescriptorStrings.size();
    for (std::size_t i = 0; i < kRef; ++i) {
      std::string& field = value.*kDescriptorStrings[i].member;
      if (!name_argument(bound[i], parameters[i].name.c_str(), field)) return nullptr;
    }
    if (bound[kRef] != nullptr && bound[kRef] != Py_None) {
      if (!name_argument(bound[kRef], "preprocessing_ref", value.preprocessing_ref.emplace())) {
        return nullptr;
      }
    }
    PyObject* self = type_alloc(type);
    if (self == nullptr) return nullptr;
    new (&as_descriptor(self)->value) PayloadDescriptor(std::move(value));
    return self;
  });
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_descriptor(self)->value.~PayloadDescriptor();
  type_free(type, self);
  Py_DECREF(type);
}

template <std::size_t I>
PyObject* get_field(PyObject* self, void*) {
  return string_to_py(as_descriptor(self)->value.*kDescriptorStrings[I].member).release();
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& ref = as_descriptor(self)->value.preprocessing_ref;
  return ref ? string_to_py(*ref).release() : Py_NewRef(Py_None);
}

// The attributes' docs, in the order of kDescriptorStrings.
constexpr std::array<const char*, kDescriptorStrings.size()> kStringDocs = {
    "What the payload is, for example \"model\" (a str).",
    "The hash that identifies the payload's content (a str).",
    "The framework the payload is for, for example \"torch\" (a str).",
    "The framework's version (a str).",
    "The payload's input and output schema (a str).",
};

template <std::size_t... I>
std::array<PyGetSetDef, sizeof...(I) + 2> getset_of(std::index_sequence<I...>) {
  return {{{kDescriptorStrings[I].name, get_field<I>, nullptr, kStringDocs[I], nullptr}...,
           {"preprocessing_ref", get_preprocessing_ref, nullptr,
            "A reference to the payload's preprocessing, or None.", nullptr},
           {nullptr, nullptr, nullptr, nullptr, nullptr}}};
}

std::array<PyGetSetDef, kDescriptorStrings.size() + 2> descriptor_getset =
    getset_of(std::make_index_sequence<kDescriptorStrings.size()>());

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDescriptorDoc)},
    new_slot<descriptor_new, kDescriptorDoc>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_getset, descriptor_getset.data()},
    {0, nullptr},
};

}  // namespace

PyType_Spec payload_descriptor_spec = {
    .name = "zembrik_core.PayloadDescriptor",
    .basicsize = sizeof(PyPayloadDescriptor),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = descriptor_slots,
};

}  // namespace zembrik::py
