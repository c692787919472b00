// PayloadDescriptor(*, kind, content_hash, framework, version, io_schema,
// preprocessing_ref=None): an immutable value with six read-only attributes.
// It holds no Python references, so it needs no GC support.
#include "python/payload_descriptor.hpp"

#include <new>

#include "python/args.hpp"
#include "python/convert.hpp"

namespace zembrik::py {
namespace {

PyPayloadDescriptor* as_descriptor(PyObject* self) {
  return reinterpret_cast<PyPayloadDescriptor*>(self);
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"PayloadDescriptor",
                                   {{"kind", true, true},
                                    {"content_hash", true, true},
                                    {"framework", true, true},
                                    {"version", true, true},
                                    {"io_schema", true, true},
                                    {"preprocessing_ref", false, true}}};
  PyObject* bound[6];
  if (!bind(signature, args, kwargs, bound)) return nullptr;
  return guarded(*state_of_type(type), [&]() -> PyObject* {
    PayloadDescriptor value;
    std::string* fields[] = {&value.kind, &value.content_hash, &value.framework, &value.version,
                             &value.io_schema};
    const Parameter* parameter = signature.parameters.begin();
    for (int i = 0; i < 5; ++i) {
      if (!name_argument(bound[i], parameter[i].name, *fields[i])) return nullptr;
    }
    if (bound[5] != nullptr && bound[5] != Py_None) {
      if (!name_argument(bound[5], "preprocessing_ref", value.preprocessing_ref.emplace())) {
        return nullptr;
      }
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_descriptor(self)->value) PayloadDescriptor(std::move(value));
    return self;
  });
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_descriptor(self)->value.~PayloadDescriptor();
  type->tp_free(self);
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
    {Py_tp_doc,
     const_cast<char*>("PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
                       "preprocessing_ref=None)\n--\n\nReproducibility metadata an External node "
                       "carries (participates in the structural hash).")},
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
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
