// `global.attribute` for a module global, as the operations look it up when
// they need it (the module namespace, then the builtins, then the
// attribute), remembered while nothing it came from has changed.
#pragma once

#include <Python.h>

#include "module_state.hpp"

namespace merrow::trace_key {

// globals[global].attribute: a new reference, or null with the exception
// set (NameError when neither the namespace nor the builtins have it).
PyObject* global_attribute(PyObject* globals, Name global, Name attribute);

// Readies the cache once, at import (its dictionary watcher); without it
// every call looks up.
void start_global_cache();

}  // namespace merrow::trace_key
