// PayloadDescriptor: the Python value class of an External node's metadata.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ir/node_key.hpp"

namespace zembrik::py {

struct PyPayloadDescriptor {
  PyObject_HEAD PayloadDescriptor value;
};

extern PyType_Spec payload_descriptor_spec;

}  // namespace zembrik::py
