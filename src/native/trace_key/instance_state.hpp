// Reads and writes of the generator's state attributes on `self`.
#pragma once

#include <Python.h>

#include "module_state.hpp"

namespace merrow::trace_key {

enum class Attr : int { node_id, source_idx, session_id, error_counter, event_counter, lock, count };

// self.<attr> with the semantics of the ordinary attribute protocol. Where
// the type provably leaves the name to the instance dictionary, the
// dictionary is used directly; everything else (and every error) takes the
// generic path. New reference.
PyObject* read_state(PyObject* self, Attr attr);

int write_state(PyObject* self, Attr attr, PyObject* value);

}  // namespace merrow::trace_key
