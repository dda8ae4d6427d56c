// Module globals as the operations look them up when they need them (the
// module namespace, then the builtins), and `global.attribute` remembered
// while nothing it came from has changed: the global cache.
#pragma once

#include <Python.h>

#include "process_state.hpp"

namespace merrow::trace_key {

// A module global: the namespace `globals` first, then the builtins module;
// NameError when neither has it. Returns a new reference.
PyObject* lookup_global(PyObject* globals, Name id);

// globals[global].attribute: a new reference, or null with the exception
// set (NameError when neither the namespace nor the builtins have it).
PyObject* global_attribute(PyObject* globals, Name global, Name attribute);

#if MERROW_GLOBAL_CACHE
// Forgets every lookup `dict` took part in: the dictionary watcher's call.
void forget_globals_of(PyObject* dict);
#endif

}  // namespace merrow::trace_key
