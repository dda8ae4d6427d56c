// Reads and writes of the generator's state attributes on `self`, each
// equal to the ordinary attribute protocol at the moment it runs, whatever
// callers do to classes, descriptors and instances. How an access is
// answered (the generic protocol, or the state cache of what an instance
// held; see state_cache.cpp) is this layer's own business.
#pragma once

#include <Python.h>

#include "process_state.hpp"

namespace merrow::trace_key {

struct Snapshot;

// self.<attr>: a new reference, or null with the exception set.
PyObject* read_state(PyObject* self, Attr attr);

// self.<attr> = value: 0, or -1 with the exception set.
int write_state(PyObject* self, Attr attr, PyObject* value);

// self.<attr> = value through the attribute protocol itself, as __init__
// assigns: nothing is remembered of a new instance, and values kept inline
// stay so.
int assign_state(PyObject* self, Attr attr, PyObject* value);

// self.<attr>, as read_state, and whether it is stable: reading it again
// before any caller code runs is sure to give this very value and to run no
// code, so a body may take it again instead.
PyObject* read_stable_state(PyObject* self, Attr attr, bool* stable);

// The counter step: self.<counter> += 1, then self.<counter> read back (a
// new reference; null with the exception set). The old value is let go once
// added to, as `x += 1` lets it go, so that the write-back drops its last
// reference (and runs any __del__) before the read-back. `look`: where to
// keep what the cache found, for reads right after (null: nowhere).
PyObject* count_state(PyObject* self, Attr counter, const Snapshot** look = nullptr);

// self.<text>, then self.<next> (new references), when the first is an
// exact str: taking its text runs no code, so both may be read before
// either is used. False (nothing read, no exception) otherwise; the body
// then reads them one by one. `look`: what the cache found before, nothing
// having run since; null: a look now.
bool read_text_then(PyObject* self, Attr text, Attr next, PyObject** first, PyObject** second,
                    const Snapshot* look = nullptr);

}  // namespace merrow::trace_key
