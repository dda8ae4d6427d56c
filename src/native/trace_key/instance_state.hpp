// Reads and writes of the generator's state attributes on `self`, each
// equal to the ordinary attribute protocol at the moment it runs. Where the
// type leaves the name to the instance (type_layout.hpp), the instance
// dictionary is used directly; everything else takes the generic protocol.
// What is remembered of an instance (value_snapshot.hpp) answers only
// while its dictionary is unchanged, so caller code run between two
// accesses (a destructor, a lock, a counter's __iadd__) is always seen.
#pragma once

#include <Python.h>

#include "type_layout.hpp"

namespace merrow::trace_key {

// self.<attr>: a new reference, or null with the exception set.
PyObject* read_state(PyObject* self, Attr attr);

// self.<attr> = value: 0, or -1 with the exception set.
int write_state(PyObject* self, Attr attr, PyObject* value);

// Values read are remembered (value_snapshot.hpp); these let a body take
// several steps on one look at memory where no caller code can run between
// them. Each returns false (nothing done, no exception) when memory cannot
// answer; the body then takes the steps one by one.

// What one look at memory found, handed on to a later step when no caller
// code has run in between (opaque; empty: look again).
struct MemoryLook {
    void* found = nullptr;
};

// A read whose value memory holds: until caller code runs, reading again
// is sure to give this value and to run no code, so a body may take it
// again instead. `*value` gets a new reference.
bool read_remembered(PyObject* self, Attr attr, PyObject** value);

// Two reads in a row (new references), when the first value is an exact
// str: taking its text runs no code, so nothing can run between them.
bool read_text_and_next(PyObject* self, Attr text, Attr next, PyObject** first,
                        PyObject** second, MemoryLook look = {});

// The counter step, `self.<attr> += 1` then a read back, for an exact int
// counter: its addition and the release of the old value run no code.
// `*number` gets the running number (null with the exception set when the
// addition fails, as it would step by step).
bool count_remembered(PyObject* self, Attr counter, PyObject** number, MemoryLook* look);

}  // namespace merrow::trace_key
