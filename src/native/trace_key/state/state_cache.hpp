// The state cache: state access answered from what each instance held,
// where that provably equals the ordinary attribute protocol (which names
// a type leaves to its instances: type_layout.hpp; whether a snapshot
// still holds: value_snapshot.hpp); the protocol everywhere else. Used by
// instance_state.cpp, and told of changes by the dictionary watcher.
#pragma once

#include <Python.h>

#include "interpreter_gates.hpp"
#include "process_state.hpp"

#if MERROW_STATE_CACHE

namespace merrow::trace_key::cache {

PyObject* read(PyObject* self, Attr attr);

int write(PyObject* self, Attr attr, PyObject* value);

// A read whose value the cache holds (a new reference in *value): until caller
// code runs, reading again gives this value and runs no code. False, nothing
// read, when the cache does not hold it.
bool read_remembered(PyObject* self, Attr attr, PyObject** value);

// The counter step for an exact int counter that the cache holds: its addition
// and the release of the old value run no code. False (nothing done)
// otherwise; `*number` gets the running number, or null with the exception
// set when the addition fails as it would step by step. `*look`, unless
// null, gets what the cache found, good for reads until caller code runs.
bool count(PyObject* self, Attr counter, PyObject** number, const Snapshot** look);

// Both values at one look (`look` when not null, else a look now), when
// the cache holds them and the first is an exact str.
bool read_text_then(PyObject* self, Attr text, Attr next, PyObject** first, PyObject** second,
                    const Snapshot* look);

#if MERROW_SNAPSHOT_BY_WATCHER
// Forgets what the cache holds of `dict`: the dictionary watcher's call.
void forget_dict(PyObject* dict);
#endif

}  // namespace merrow::trace_key::cache

#endif  // MERROW_STATE_CACHE
