// The node prefix and index fields that every identifier carries.
#pragma once

#include <Python.h>

#include "state/instance_state.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

// Reads self.node_id and takes the text of its [:8], then reads
// self.source_idx and takes its text, in that order; -1 with the exception
// set on failure. `look`: what the cache found in the lock section left
// right before, nothing having run since.
int read_node_fields(PyObject* self, TextField& node, TextField& index,
                     const Snapshot* look = nullptr);

}  // namespace merrow::trace_key
