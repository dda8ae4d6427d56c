// Field texts and the one-allocation join that every identifier and tag uses.
#pragma once

#include <Python.h>

namespace merrow::trace_key {

// The text of a field, as format(value, "") gives it; an exact str is the
// value itself. New reference.
PyObject* field_text(PyObject* value);

// The text of value[:8]; TypeError "... object is unsliceable" when the
// value's type has no subscription. New reference.
PyObject* node_prefix_text(PyObject* value);

// Joins exact str parts into one new str, allocated once at its final size.
PyObject* join_texts(PyObject* const* parts, int count);

}  // namespace merrow::trace_key
