// PayloadDescriptor(*, kind, content_hash, framework, version, io_schema,
// preprocessing_ref=None): an immutable value with six read-only attributes.
// It holds no Python references, so it needs no GC support.
#include "python/payload_descriptor.hpp"

#include <new>

#include "ir/record_layout.hpp"
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
    "preprocessing_ref=None)\n--\n\nReproducibility metadata an External node carries "
    "(participates in the structural hash).";

// The five required strings come first, in the order of their fields.
PyObject* descriptor_new(PyTypeObject* type, PyObject* const* bound) {
  return guarded(*state_of_type(type), [&]() -> PyObject* {
    PayloadDescriptor value;
    const std::vector<Parameter>& parameters = signature_of<kNoOwner, kDescriptorDoc>().parameters;
    constexpr std::size_t kRef = record::kDescriptorStringCount;
    for (std::size_t i = 0; i < kRef; ++i) {
      std::string& field = value.*record::kDescriptorStrings[i];
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

template <std::string PayloadDescriptor::*Field>
PyObject* get_field(PyObject* self, void*) {
  return string_to_py(as_descriptor(self)->value.*Field).release();
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& ref = as_descriptor(self)->value.preprocessing_ref;
  return ref ? string_to_py(*ref).release() : Py_NewRef(Py_None);
}

PyGetSetDef descriptor_getset[] = {
    {"kind", get_field<&PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_field<&PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_field<&PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_field<&PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_field<&PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDescriptorDoc)},
    new_slot<descriptor_new, kDescriptorDoc>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_getset, descriptor_getset},
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
