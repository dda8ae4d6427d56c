// Reads and writes of the generator's state attributes on `self`.
#pragma once

#include <Python.h>

#include "module_state.hpp"

namespace merrow::trace_key {

// self.<attribute> through the ordinary attribute protocol. New reference.
inline PyObject* read_state(PyObject* self, Name attribute)
{
    return PyObject_GetAttr(self, name(attribute));
}

inline int write_state(PyObject* self, Name attribute, PyObject* value)
{
    return PyObject_SetAttr(self, name(attribute), value);
}

}  // namespace merrow::trace_key
